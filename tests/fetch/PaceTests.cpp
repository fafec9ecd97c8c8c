// The pacing decision against a fake clock; platform-free, also built natively.
#include <gtest/gtest.h>

#include <algorithm>
#include <queue>
#include <vector>

#include "fetch/PaceRule.h"

namespace {

constexpr uint64_t kSecond = 1000000;
constexpr uint32_t kChunk = 256 * 1024;  // what an unpaced read asks for

struct Phase {
    uint64_t fromUs;
    unsigned kibPerS;  // 0: unlimited
};

struct Link {
    unsigned connections;
    uint64_t bytesPerS;  // what each connection's line brings
    std::vector<Phase> phases;
    uint64_t endUs;
    uint64_t pauseFromUs = 0, pauseUs = 0;  // no read starts in this stretch (between two files, say)
};

unsigned RateAt(const Link& link, uint64_t t) {
    unsigned rate = 0;
    for (const Phase& p : link.phases)
        if (t >= p.fromUs) rate = p.kibPerS;
    return rate;
}

struct Read {
    uint64_t start, done;  // from the request for its bytes to the arrival of the last one
    uint64_t bytes;
};

// Each connection reads what its line brings (no more than the paced read size at the rate when the read
// starts), tells the shared bucket, waits as told, and reads again; reads are handled in time order.
std::vector<Read> Simulate(const Link& link) {
    const auto later = [](const Read& a, const Read& b) { return a.done > b.done; };
    std::priority_queue<Read, std::vector<Read>, decltype(later)> inFlight(later);
    auto start = [&](uint64_t t) {
        if (t >= link.pauseFromUs && t < link.pauseFromUs + link.pauseUs) t = link.pauseFromUs + link.pauseUs;
        const uint64_t size = PacedReadSize(RateAt(link, t), kChunk);
        inFlight.push({t, t + (size * kSecond + link.bytesPerS - 1) / link.bytesPerS, size});
    };
    for (unsigned c = 0; c < link.connections; ++c) start(0);
    PaceBucket bucket;
    std::vector<Read> reads;
    while (!inFlight.empty() && inFlight.top().done < link.endUs) {
        const Read r = inFlight.top();
        inFlight.pop();
        reads.push_back(r);
        start(r.done + PaceDelayUs(bucket, r.done, r.bytes, RateAt(link, r.done)));
    }
    return reads;
}

// The bytes that arrived in [from, to), each read's spread evenly over its time on the line.
double BytesBetween(const std::vector<Read>& reads, uint64_t from, uint64_t to) {
    double sum = 0;
    for (const Read& r : reads) {
        const uint64_t a = std::max(r.start, from), b = std::min(r.done, to);
        if (r.done == r.start)
            sum += r.done >= from && r.done < to ? r.bytes : 0;
        else if (b > a)
            sum += double(r.bytes) * double(b - a) / double(r.done - r.start);
    }
    return sum;
}

// The most bytes any window of `span` inside [from, to) carries. The count changes linearly between the
// moments a window's start or end meets a read's start or end, so those moments are the ones to try.
double BusiestWindow(const std::vector<Read>& reads, uint64_t from, uint64_t to, uint64_t span) {
    std::vector<Read> inside;  // in the order their last bytes came
    std::vector<uint64_t> starts{from};
    uint64_t longest = 0;
    for (const Read& r : reads) {
        if (r.done <= from || r.start >= to) continue;
        inside.push_back(r);
        longest = std::max(longest, r.done - r.start);
        for (uint64_t t : {r.start, r.done})
            for (uint64_t s : {t, t >= span ? t - span : 0})
                if (s >= from && s + span <= to) starts.push_back(s);
    }
    double most = 0;
    for (uint64_t s : starts) {
        auto first = std::partition_point(inside.begin(), inside.end(), [&](const Read& r) { return r.done < s; });
        auto last =
            std::partition_point(first, inside.end(), [&](const Read& r) { return r.done < s + span + longest + 1; });
        most = std::max(most, BytesBetween(std::vector<Read>(first, last), s, s + span));
    }
    return most;
}

}  // namespace

// Over every 10 s window of each capped stretch the bytes stay within 1.1 x the cap, and a line faster
// than the cap still carries at least 0.9 x of it (0.9 x the line when that is slower).
TEST(Pace, EveryTenSecondWindowStaysWithinTheCap) {
    constexpr uint64_t M = 1024 * 1024, K = 1024;
    const struct Case {
        const char* what;
        Link link;
    } cases[] = {
        {"one connection, 512 KiB/s", {1, 100 * M, {{0, 512}}, 60 * kSecond}},
        {"four connections, 512 KiB/s", {4, 100 * M, {{0, 512}}, 60 * kSecond}},
        {"a small cap: no read may burst past it", {1, 100 * M, {{0, 16}}, 60 * kSecond}},
        {"a tiny cap on four connections", {4, 100 * M, {{0, 1}}, 120 * kSecond}},
        {"unlimited until the game starts, then capped", {1, 100 * M, {{0, 0}, {5 * kSecond, 512}}, 60 * kSecond}},
        // The reads in flight when the cap comes are paid for after it: a long stretch shows the rate.
        {"the same on four connections", {4, 100 * M, {{0, 0}, {5 * kSecond, 64}}, 300 * kSecond}},
        {"a cap lowered mid-way", {2, 100 * M, {{0, 2048}, {20 * kSecond, 128}}, 60 * kSecond}},
        {"a cap raised mid-way", {2, 100 * M, {{0, 128}, {20 * kSecond, 2048}}, 60 * kSecond}},
        {"a pause earns no burst after it", {1, 100 * M, {{0, 512}}, 60 * kSecond, 20 * kSecond, 3 * kSecond}},
        {"a line slower than the cap", {2, 100 * K, {{0, 512}}, 60 * kSecond}},
    };
    for (const Case& c : cases) {
        const Link& link = c.link;
        const std::vector<Read> reads = Simulate(link);
        for (size_t p = 0; p < link.phases.size(); ++p) {
            const uint64_t from = link.phases[p].fromUs;
            const uint64_t to = p + 1 < link.phases.size() ? link.phases[p + 1].fromUs : link.endUs;
            const uint64_t rate = uint64_t(link.phases[p].kibPerS) * 1024;
            const uint64_t line = link.bytesPerS * link.connections;
            const uint64_t seconds = (to - from) / kSecond;
            const double carried = BytesBetween(reads, from, to);
            if (rate == 0) {
                EXPECT_GE(carried, line * seconds * 0.9) << c.what << ": unlimited stretch held back";
                continue;
            }
            EXPECT_LE(BusiestWindow(reads, from, to, 10 * kSecond), rate * 10 * 1.1) << c.what << ", phase " << p;
            EXPECT_GE(carried, std::min(rate, line) * seconds * 0.9) << c.what << ", phase " << p;
        }
    }
}

TEST(Pace, ReadSizeFollowsTheCap) {
    const struct Case {
        unsigned kibPerS;
        uint32_t usual, size;
    } cases[] = {
        {0, kChunk, kChunk},   // unpaced: as asked
        {512, kChunk, 32768},  // a sixteenth of a second
        {16, 65536, 1024},     // a 64 KiB read cannot burst past a small cap
        {1, kChunk, kSmallestPacedRead},
        {1, 100, 100},  // never more than asked
        {1u << 20, kChunk, kChunk},
    };
    for (const Case& c : cases) EXPECT_EQ(PacedReadSize(c.kibPerS, c.usual), c.size) << c.kibPerS;
}
