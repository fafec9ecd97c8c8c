#pragma once
// How a run tells what it does and asks what it must: the app implements it (status board and window),
// tests too. Every call comes from the run's threads; the implementation never blocks them for long,
// except to wait for the player's answer.
#include <string>

struct RunState;
struct Words;

struct Reporter {
    void* context = nullptr;
    // An empty headline keeps the current one; a negative progress (0..1000) keeps the current value.
    void (*status)(void* context, const std::wstring& headline, const std::wstring& detail, int progress) = nullptr;
    // Shows question with Retry and Cancel; true for Retry.
    bool (*retryOrCancel)(void* context, const wchar_t* question) = nullptr;
    void (*begin)(void* context) = nullptr;
    void (*end)(void* context, bool ready) = nullptr;
    // One line of the run's support log (UTF-8, no line end); null: the run keeps no log.
    void (*log)(void* context, const std::string& line) = nullptr;
    // After end(ready): the next release's files are being fetched ahead, as its manifest announced
    // them (while_playing, max_kib_per_s). Null: nothing to tell.
    void (*preloading)(void* context, bool whilePlaying, unsigned maxKibPerS) = nullptr;
    // The run's thread has nothing more to do, a pre-load included: always the last call. Null: nothing
    // to tell.
    void (*idle)(void* context) = nullptr;
};

void Report(const RunState& run, const std::wstring& headline, const std::wstring& detail, int progress);
void Report(const RunState& run, const Words& words, int progress);
void Log(const RunState& run, const std::string& line);
// False when the run keeps no log: a line per file need not even be built.
bool Logging(const RunState& run);
