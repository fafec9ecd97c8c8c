#pragma once
// The one channel between the patch run and the window.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

constexpr UINT WM_STATUS_CHANGED = WM_APP + 1;
constexpr UINT WM_RUN_FINISHED = WM_APP + 2;
constexpr UINT WM_RUN_IDLE = WM_APP + 4;  // the run's thread is done, a pre-load included

struct StatusBoard {
    std::mutex lock;  // guards headline, detail and progress only
    std::wstring headline;  // the app writes the first words before the window shows
    std::wstring detail;
    int progress = 0;

    std::atomic<bool> ready{false};
    std::atomic<bool> busy{false};
    std::atomic<bool> autoClose{false};
    // A ready run's pre-load of the next release is going on, and what its manifest asks of it.
    std::atomic<bool> preloading{false};
    std::atomic<bool> preloadWhilePlaying{false};
    std::atomic<unsigned> preloadKibPerS{0};
    std::atomic<int> exitCode{0};
    std::atomic<HWND> mainWindow{nullptr};
    // Set while a WM_STATUS_CHANGED is in the queue; the window clears it when it handles the message.
    std::atomic<bool> repaintPending{false};
};

// Never destroyed: a run still going when the message loop ends may keep reading it.
StatusBoard& Board();

struct StatusSnapshot {
    std::wstring headline;
    std::wstring detail;
    int progress = 0;
};

void UpdateStatus(const std::wstring& headline, const std::wstring& detail, int progress);
StatusSnapshot ReadStatus();

// Run ends, as the patch run calls them.
void BeginRun();
void EndRunSuccess();
void EndRunFailure();
void PreloadBegins(bool whilePlaying, unsigned maxKibPerS);
// The run's thread is done: no pre-load goes on any more.
void RunIdle();
