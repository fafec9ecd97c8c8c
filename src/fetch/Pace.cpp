#include "fetch/Pace.h"

#include <windows.h>

#include "fetch/Download.h"

namespace {

constexpr uint64_t kSliceUs = 25000;  // a cancel is seen within this while waiting

uint64_t NowUs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart), n = static_cast<uint64_t>(now.QuadPart);
    return n / f * 1000000 + n % f * 1000000 / f;
}

}  // namespace

uint32_t PaceReadSize(const Pace* pace, uint32_t usual) {
    return pace ? PacedReadSize(pace->kibPerS.load(), usual) : usual;
}

void FollowPaceBackground(const Pace* pace, bool& background) {
    if (background || !pace || !pace->background.load()) return;
    // Lowers the thread's CPU, I/O and memory priority until it ends; where the system refuses, the
    // thread goes on as it was.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    background = true;
}

bool PaceAfterRead(Pace* pace, uint64_t bytes, const DownloadCancel* cancel, const DownloadCancel* stop,
                   bool& background) {
    if (!pace) return true;
    FollowPaceBackground(pace, background);
    uint64_t until;
    {
        std::lock_guard<std::mutex> guard(pace->lock);
        const uint64_t now = NowUs();
        until = now + PaceDelayUs(pace->bucket, now, bytes, pace->kibPerS.load());
    }
    for (;;) {
        if ((cancel && cancel->cancelled.load()) || (stop && stop->cancelled.load())) return false;
        const uint64_t now = NowUs();
        if (now >= until || pace->kibPerS.load() == 0) return true;
        const uint64_t left = until - now < kSliceUs ? until - now : kSliceUs;
        Sleep(static_cast<DWORD>((left + 999) / 1000));
    }
}
