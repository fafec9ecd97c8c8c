#pragma once
// The bytes a stage has moved against its total, and the one throttle for publishing them.
#include <atomic>
#include <cstdint>

constexpr uint32_t kPublishEveryMs = 40;

// Shared by every thread of a stage; each call is safe from any of them.
struct ProgressMeter {
    uint64_t total = 0;
    std::atomic<uint64_t> done{0};
    std::atomic<uint32_t> lastPublish{0};  // tick of the last publication; 0: none yet
};

// Adds change (negative when bytes are dropped and fetched again); returns the new count.
uint64_t MeterAdd(ProgressMeter& meter, int64_t change);
// Whether a publication is due now: forced, or kPublishEveryMs since the last one. Of threads asking in
// the same interval, one is told yes.
bool MeterDue(ProgressMeter& meter, bool force);
// done against total in thousandths (1000 for an empty total).
int MeterPermille(const ProgressMeter& meter);
