#pragma once
// The pacing decision, platform-free so that a fake clock can test it: after each read, how long the
// reader waits so that no stretch of time carries more than the rate's bytes plus the reads in hand.
// A token bucket one paced read deep: idle time earns no more credit than that, so a burst is never
// more than about one read per connection.
#include <cstdint>

struct PaceBucket {
    uint64_t due = 0;  // µs: when every byte taken so far has been paid for
};

// `bytes` were just received at nowUs; returns the µs to wait before the next read (0 at rate 0).
// Shared by several connections, the bucket paces them together.
uint64_t PaceDelayUs(PaceBucket& bucket, uint64_t nowUs, uint64_t bytes, unsigned kibPerS);

// The most one read may ask for at a rate: a sixteenth of a second's bytes (at least kSmallestPacedRead),
// so that no single read can burst past a small cap; `usual` at rate 0.
constexpr uint32_t kSmallestPacedRead = 256;
uint32_t PacedReadSize(unsigned kibPerS, uint32_t usual);
