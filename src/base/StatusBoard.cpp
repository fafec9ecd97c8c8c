#include "base/StatusBoard.h"

StatusBoard& Board() {
    static StatusBoard* board = new StatusBoard;
    return *board;
}

namespace {

// WM_RUN_FINISHED and WM_RUN_IDLE are the only way the window learns a run ended: a full queue must
// not lose them.
void PostReliably(UINT message, WPARAM wParam) {
    HWND hwnd = Board().mainWindow.load();
    if (!hwnd) return;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (PostMessageW(hwnd, message, wParam, 0)) return;
        if (!IsWindow(hwnd)) return;
        Sleep(50);
    }
}

}  // namespace

void UpdateStatus(const std::wstring& headline, const std::wstring& detail, int progress) {
    StatusBoard& b = Board();
    {
        std::lock_guard<std::mutex> guard(b.lock);
        if (!headline.empty() && &headline != &b.headline) b.headline = headline;
        if (&detail != &b.detail) b.detail = detail;
        if (progress >= 0) b.progress = progress < 1000 ? progress : 1000;
    }
    HWND hwnd = b.mainWindow.load();
    if (!hwnd) return;
    // One pending repaint is enough however many updates come in a burst.
    if (b.repaintPending.exchange(true)) return;
    if (!PostMessageW(hwnd, WM_STATUS_CHANGED, 0, 0)) b.repaintPending.store(false);
}

StatusSnapshot ReadStatus() {
    StatusBoard& b = Board();
    std::lock_guard<std::mutex> guard(b.lock);
    return {b.headline, b.detail, b.progress};
}

void BeginRun() {
    Board().busy = true;
    Board().ready = false;
}

void EndRunSuccess() {
    StatusBoard& b = Board();
    b.ready = true;
    b.busy = false;
    b.exitCode = 0;
    PostReliably(WM_RUN_FINISHED, 1);
}

void EndRunFailure() {
    StatusBoard& b = Board();
    b.busy = false;
    b.exitCode = 1;
    PostReliably(WM_RUN_FINISHED, 0);
}

void PreloadBegins(bool whilePlaying, unsigned maxKibPerS) {
    StatusBoard& b = Board();
    b.preloadWhilePlaying = whilePlaying;
    b.preloadKibPerS = maxKibPerS;
    b.preloading = true;
}

void RunIdle() {
    Board().preloading = false;
    PostReliably(WM_RUN_IDLE, 0);
}
