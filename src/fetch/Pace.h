#pragma once
// Pacing that the transfers of a pre-load share: at most kibPerS over any stretch of time, all of them
// together, and, once asked, background CPU and I/O priority for every thread that moves their bytes.
// Either may change while the transfers run (unlimited until the game starts, then capped).
#include <atomic>
#include <cstdint>
#include <mutex>

#include "fetch/PaceRule.h"

struct DownloadCancel;

struct Pace {
    std::atomic<unsigned> kibPerS{0};  // 0: unlimited
    std::atomic<bool> background{false};
    std::mutex lock;  // guards bucket
    PaceBucket bucket;
};

// The most the next read may ask for; `usual` without a pace or at rate 0.
uint32_t PaceReadSize(const Pace* pace, uint32_t usual);
// Called after each read with the bytes it brought: waits, in slices of a few tens of milliseconds, until
// the rate allows the next read; the transfer's cancel or the stop from outside (either may be null) ends
// the wait early (false). No pace: returns at once.
bool PaceAfterRead(Pace* pace, uint64_t bytes, const DownloadCancel* cancel, const DownloadCancel* stop,
                   bool& background);
// Puts the calling thread into background mode once the pace asks for it; `background` is the thread's
// own note that it did (one per thread, false at first).
void FollowPaceBackground(const Pace* pace, bool& background);
