#include "fetch/PaceRule.h"

namespace {

constexpr uint64_t kMicros = 1000000;
constexpr uint64_t kCreditUs = kMicros / 16;  // one paced read's bytes

uint64_t BytesPerS(unsigned kibPerS) { return uint64_t(kibPerS) * 1024; }

}  // namespace

uint64_t PaceDelayUs(PaceBucket& bucket, uint64_t nowUs, uint64_t bytes, unsigned kibPerS) {
    if (kibPerS == 0) {
        bucket.due = nowUs;
        return 0;
    }
    // Each read is paid for at the rate in force when it arrived: a new rate applies from the next one.
    const uint64_t rate = BytesPerS(kibPerS);
    // A read that took as long as its bytes are worth owes nothing; idle time earns at most one read.
    const uint64_t earliest = nowUs > kCreditUs ? nowUs - kCreditUs : 0;
    const uint64_t from = bucket.due > earliest ? bucket.due : earliest;
    bucket.due = from + (bytes * kMicros + rate - 1) / rate;
    return bucket.due > nowUs ? bucket.due - nowUs : 0;
}

uint32_t PacedReadSize(unsigned kibPerS, uint32_t usual) {
    if (kibPerS == 0) return usual;
    const uint64_t most = BytesPerS(kibPerS) / 16;
    if (most < kSmallestPacedRead) return kSmallestPacedRead < usual ? kSmallestPacedRead : usual;
    return most < usual ? static_cast<uint32_t>(most) : usual;
}
