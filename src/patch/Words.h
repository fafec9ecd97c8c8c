#pragma once
// Every text a player reads from the run and the app, in one table: the layers below return codes,
// these functions give them words.
#include <cstdint>
#include <string>

#include "client/Launch.h"
#include "fetch/FetchResult.h"
#include "patch/Plan.h"
#include "trust/ManifestSignature.h"

struct Words {
    std::wstring headline;
    std::wstring detail;
};

enum class RunStep { Starting, CheckingVersion, BadManifest, Cancelled };
Words WordsFor(RunStep step);
// Why a GET of url failed, as the status's detail says it.
std::wstring GetFailureText(const GetResult& result, const std::wstring& url);
// The manifest at url could not be fetched.
Words ConnectionWords(const GetResult& result, const std::wstring& url);
// The manifest fetched from fetchUrl failed its signature check; fetch is the signature file's GET.
Words SignatureWords(SignatureError error, const GetResult& fetch, const std::wstring& fetchUrl);
// A signed manifest older than one this folder already accepted from the same key.
Words RollbackWords();
// The run's end when the game is ready: nothing was downloaded, or downloaded files.
Words CompletionWords(const std::string& version, size_t downloaded);
// The detail line while the next release is fetched ahead (percent with Loading only).
enum class PreloadStep { Loading, Done, Stopped };
std::wstring PreloadDetail(const std::string& nextVersion, PreloadStep step, int percent);
// The run ended on an exception: this headline, and the detail for the exception being handled (call
// only inside a catch block).
extern const wchar_t kRunFailedHeadline[];
const wchar_t* CaughtFailureText() noexcept;

extern const wchar_t kClientRunningQuestion[];

// Message boxes of the app.
extern const wchar_t kNoArchiveText[];
extern const wchar_t kDamagedStampText[];
extern const wchar_t kFolderWarning[];
extern const wchar_t kNotConfigured[];
std::wstring CannotStartText(const std::wstring& programName);

// A file of the plan could not be fetched: the failure status for a result other than verified.
Words FetchFailureWords(const FetchResult& result, const PlannedFile& file);

// The download path: progress lines and the failures around the swap.
Words CheckingFileWords(const std::wstring& localPath);
Words DownloadingFileWords(const std::wstring& name, uint64_t received, uint64_t size);
Words DownloadingManyWords(unsigned inFlight, uint64_t done, uint64_t total);
Words ScanningWords(const std::wstring& name, uint64_t scanned, uint64_t oldSize);
Words AssemblingWords(const std::wstring& name, uint64_t written, uint64_t size, uint64_t reused, uint64_t fetched,
                      uint64_t fetchPlanned);
Words StartFailedWords();
Words NoRoomWords(uint64_t needed, uint64_t available);
Words PatcherLacksKeyWords(const std::wstring& localPath);
Words FlushFailedWords(const std::wstring& localPath);
Words SwapFailedWords(const std::wstring& localPath);
