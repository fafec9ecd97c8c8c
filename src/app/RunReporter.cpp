#include "app/RunReporter.h"

#include "app/SupportLog.h"
#include "base/StatusBoard.h"

namespace {

void Status(void*, const std::wstring& headline, const std::wstring& detail, int progress) {
    UpdateStatus(headline, detail, progress);
}

// The worker opens no window: the window's thread shows the box. No window, no answer: Cancel.
bool RetryOrCancel(void*, const wchar_t* question) {
    HWND window = Board().mainWindow.load();
    return window && SendMessageW(window, WM_ASK_RETRY, 0, reinterpret_cast<LPARAM>(question)) == IDRETRY;
}

void End(void*, bool ready) {
    FlushLog();
    ready ? EndRunSuccess() : EndRunFailure();
}

const Reporter kWindowReporter = {nullptr,
                                  Status,
                                  RetryOrCancel,
                                  [](void*) { BeginRun(); },
                                  End,
                                  [](void*, const std::string& line) { AppendLog(line); },
                                  [](void*, bool whilePlaying, unsigned kib) { PreloadBegins(whilePlaying, kib); },
                                  [](void*) {
                                      FlushLog();
                                      RunIdle();
                                  }};

}  // namespace

const Reporter& WindowReporter() { return kWindowReporter; }
