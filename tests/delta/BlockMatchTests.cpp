// Block maps, the old-file scan, the range plan and the assembly, over bytes in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "delta/BlockMap.h"
#include "delta/BlockMatch.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<uint8_t>(gen());
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

BlockMap MapOf(const Bytes& data, uint32_t blockSize, std::vector<size_t> pieces = {}) {
    BlockMapBuilder b;
    BlockMapBegin(b, data.size(), blockSize);
    size_t at = 0;
    for (size_t n : pieces) {
        n = std::min(n, data.size() - at);
        BlockMapAdd(b, data.data() + at, n);
        at += n;
    }
    BlockMapAdd(b, data.data() + at, data.size() - at);
    EXPECT_TRUE(BlockMapFinish(b));
    return b.map;
}

// The old file handed out in uneven reads, as a file or a pipe would.
struct OldReader {
    const Bytes* data;
    size_t at = 0;
    std::mt19937 gen{7};
    bool failAfterFirst = false;
    int reads = 0;
};
size_t ReadNext(void* context, uint8_t* into, size_t most) {
    auto& r = *static_cast<OldReader*>(context);
    if (r.failAfterFirst && r.reads++ > 0) return SIZE_MAX;
    const size_t n = std::min({most, r.data->size() - r.at, size_t(r.gen() % 300000 + 1)});
    if (n == 0) return 0;
    std::memcpy(into, r.data->data() + r.at, n);
    r.at += n;
    return n;
}

std::vector<uint64_t> Scan(const BlockMap& map, const Bytes& old, ScanStats* statsOut = nullptr) {
    OldReader reader{&old};
    std::vector<uint64_t> found;
    ScanStats stats;
    EXPECT_TRUE(ScanForBlocks(map, ReadNext, &reader, found, stats));
    if (!stats.gaveUp && !map.blocks.empty()) {
        EXPECT_EQ(stats.bytesScanned, old.size());
    }
    if (statsOut) *statsOut = stats;
    return found;
}

// In-memory assembly: the old file, the server's copy of the new one (possibly altered), the output.
struct Memory {
    const Bytes* old;
    const Bytes* served;
    Bytes out;
    AssemblyState* state = nullptr;
    int fetches = 0;
    int64_t shortBy = 0;      // bytes left off the end of each fetched range
    int64_t longBy = 0;       // bytes sent past it
};
bool ReadOld(void* c, uint64_t offset, uint8_t* into, size_t n) {
    auto& m = *static_cast<Memory*>(c);
    if (offset + n > m.old->size() || n == 0) return false;
    std::memcpy(into, m.old->data() + offset, n);
    return true;
}
bool Fetch(void* c, uint64_t offset, uint64_t length) {
    auto& m = *static_cast<Memory*>(c);
    ++m.fetches;
    const uint64_t n = std::min<uint64_t>(length + m.longBy - m.shortBy, m.served->size() - offset);
    // Handed over in pieces that straddle block edges.
    for (uint64_t done = 0; done < n;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(1000, n - done));
        if (!AssemblyWrite(*m.state, m.served->data() + offset + done, piece)) return false;
        done += piece;
    }
    return true;
}
bool Write(void* c, const uint8_t* data, size_t n) {
    auto& m = *static_cast<Memory*>(c);
    m.out.insert(m.out.end(), data, data + n);
    return true;
}

struct Outcome {
    AssemblyResult result;
    AssemblyPlan plan;
    Bytes out;
    int fetches;
};

Outcome Rebuild(const Bytes& oldBytes, const Bytes& newBytes, uint32_t blockSize, const Bytes* served = nullptr,
            uint64_t mergeGap = 0, int64_t shortBy = 0, int64_t longBy = 0) {
    const BlockMap map = MapOf(newBytes, blockSize);
    Outcome o{AssemblyResult::Done, PlanAssembly(map, Scan(map, oldBytes), mergeGap), {}, 0};
    AssemblyState state;
    Memory m{&oldBytes, served ? served : &newBytes, {}, &state, 0, shortBy, longBy};
    o.result = Assemble(map, o.plan, AssemblyIo{&m, ReadOld, Fetch, Write}, state);
    o.out = m.out;
    o.fetches = m.fetches;
    EXPECT_EQ(o.plan.reusedBytes + o.plan.fetchedBytes, newBytes.size());
    if (o.result == AssemblyResult::Done) {
        EXPECT_EQ(size_t(o.fetches), o.plan.ranges);
    }
    return o;
}

constexpr uint32_t kB = 4096;

TEST(BlockMap, BlockSizeScalesWithTheFile) {
    const struct {
        uint64_t size;
        uint32_t block;
    } rows[] = {{0, 4096},          {1 << 20, 4096},       {64ull << 20, 4096},        {(64ull << 20) + 1, 8192},
                {1ull << 30, 16384}, {4ull << 30, 32768}, {(4ull << 30) + 1, 65536}, {128ull << 30, 65536},
                {(128ull << 30) + 1, 131072}, {1ull << 40, 524288}, {2ull << 40, kMaxBlockSize}};
    for (const auto& r : rows) {
        EXPECT_EQ(BlockSizeFor(r.size), r.block) << r.size;
        EXPECT_LE(BlockCount(r.size, BlockSizeFor(r.size)), kMaxBlockCount) << r.size;
        EXPECT_TRUE(BlockMapFits(r.size)) << r.size;
    }
    EXPECT_FALSE(BlockMapFits((2ull << 40) + 1));
}

TEST(BlockMap, RollingChecksumEqualsAFreshOneAtEveryOffset) {
    // The definition, byte by byte, at the largest block size too.
    for (size_t length : {size_t(1), size_t(kB), size_t(kMaxBlockSize - 3)}) {
        const Bytes data = Random(length, 5);
        uint32_t a = 0, b = 0;
        for (uint8_t x : data) b += (a += x + 31u);
        EXPECT_EQ(WeakChecksum(data.data(), length), (a & 0xffff) | (b << 16)) << length;
    }
    const Bytes data = Random(3 * kB, 1);
    RollingSum r;
    RollStart(r, data.data(), kB);
    for (size_t at = 0; at + kB < data.size(); ++at) {
        ASSERT_EQ(RollValue(r), WeakChecksum(data.data() + at, kB)) << at;
        RollStep(r, data[at], data[at + kB]);
    }
}

TEST(BlockMap, WritesAndReadsBackTheSameMapWhateverThePiecesFed) {
    for (size_t size : {size_t(0), size_t(1), size_t(kB - 1), size_t(kB), size_t(5 * kB + 17)}) {
        const Bytes data = Random(size, 2);
        const BlockMap whole = MapOf(data, kB);
        const BlockMap pieces = MapOf(data, kB, {1, kB - 2, 3, kB, 7});
        const std::string bytes = BlockMapBytes(whole);
        EXPECT_EQ(bytes, BlockMapBytes(pieces)) << size;
        EXPECT_EQ(bytes.size(), kBlockMapHeaderBytes + BlockCount(size, kB) * kBlockRecordBytes);
        BlockMap read;
        std::string why;
        ASSERT_TRUE(ReadBlockMap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), read, why)) << why;
        EXPECT_EQ(BlockMapBytes(read), bytes);
    }
    BlockMapBuilder b;
    BlockMapBegin(b, 10);
    BlockMapAdd(b, "123456789", 9);
    EXPECT_FALSE(BlockMapFinish(b)) << "a file that shrank while read must not give a map";
}

TEST(BlockMap, ReaderRefusesMalformedMaps) {
    const std::string good = BlockMapBytes(MapOf(Random(3 * kB + 5, 3), kB));
    auto with32 = [&](size_t at, uint32_t v) {
        std::string s = good;
        std::memcpy(&s[at], &v, 4);
        return s;
    };
    auto with64 = [&](size_t at, uint64_t v) {
        std::string s = good;
        std::memcpy(&s[at], &v, 8);
        return s;
    };
    const struct {
        const char* what;
        std::string bytes;
    } rows[] = {
        {"empty", ""},
        {"header cut short", good.substr(0, 63)},
        {"magic", "X" + good.substr(1)},
        {"version", with32(8, 2)},
        {"block size not a power of two", with32(12, 4097)},
        {"block size too small", with32(12, 512)},
        {"block size too large", with32(12, 2u << 20)},
        {"file size beyond the blocks", with64(16, 4 * kB + 1)},
        {"file size short of the blocks", with64(16, 3 * kB)},
        {"huge count", with64(24, 1ull << 40)},
        {"count past the limit", with64(24, kMaxBlockCount + 1)},
        {"count wraps", with64(24, ~0ull)},
        {"record cut short", good.substr(0, good.size() - 1)},
        {"a byte too many", good + "x"},
        {"a record too many", good + std::string(kBlockRecordBytes, 'x')},
    };
    for (const auto& r : rows) {
        BlockMap map;
        std::string why;
        EXPECT_FALSE(ReadBlockMap(reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size(), map, why))
            << r.what;
        EXPECT_FALSE(why.empty()) << r.what;
    }
}

// Old and new versions of a file; the expected split between reused and fetched bytes.
TEST(BlockAssembly, BuildsTheNewFileFromWhatTheOldOneHolds) {
    const Bytes base = Random(40 * kB, 10);
    const Bytes other = Random(40 * kB, 11);
    const Bytes ins = Random(100, 12);
    struct Row {
        const char* what;
        Bytes oldBytes, newBytes;
        uint64_t maxFetched;  // upper bound
        uint64_t minFetched;
    };
    const Row rows[] = {
        {"identical", base, base, 0, 0},
        {"nothing in common", other, base, base.size(), base.size()},
        {"old empty", {}, base, base.size(), base.size()},
        {"old truncated", Slice(base, 0, 13 * kB + 5), base, 27 * kB + kB, 26 * kB},
        {"old grown", Cat({base, Random(3 * kB + 9, 13)}), base, 0, 0},
        {"new grown", base, Cat({base, Random(5 * kB + 1, 14)}), 5 * kB + 1, 5 * kB + 1},
        {"bytes inserted near the start", base, Cat({Slice(base, 0, 100), ins, Slice(base, 100, base.size() - 100)}),
         2 * kB, 1},
        {"shifted middle", base,
         Cat({Slice(base, 0, 10 * kB), Slice(base, 25 * kB, 15 * kB), Slice(base, 10 * kB, 15 * kB)}), 0, 0},
        {"middle removed", base, Cat({Slice(base, 0, 10 * kB + 7), Slice(base, 20 * kB, 20 * kB)}), 2 * kB, 1},
        {"blocks moved by a byte", Cat({Bytes(1, 0), base}), base, 0, 0},
        {"size not a multiple, same", Slice(base, 0, 7 * kB + 321), Slice(base, 0, 7 * kB + 321), 0, 0},
        {"old grown, size not a multiple", base, Slice(base, 0, 7 * kB + 321), 0, 0},
        {"short tail after a shift", Cat({ins, Slice(base, 0, 7 * kB + 321)}), Slice(base, 0, 7 * kB + 321), 0, 0},
        {"smaller than a block, same", Slice(base, 0, 700), Slice(base, 0, 700), 0, 0},
        {"smaller than a block, at the old end", Cat({other, Slice(base, 0, 700)}), Slice(base, 0, 700), 0, 0},
        {"smaller than a block, changed", Slice(other, 0, 700), Slice(base, 0, 700), 700, 700},
        {"one byte", Bytes(1, 5), Bytes(1, 5), 0, 0},
        {"new empty", base, {}, 0, 0},
        {"repeated blocks", Bytes(3 * kB, 0), Bytes(9 * kB + 4, 0), kB, 0},
        {"blocks reordered", Cat({Slice(base, 8 * kB, 8 * kB), Slice(base, 0, 8 * kB)}), Slice(base, 0, 16 * kB), 0,
         0},
    };
    for (const Row& r : rows) {
        const Outcome o = Rebuild(r.oldBytes, r.newBytes, kB);
        ASSERT_EQ(o.result, AssemblyResult::Done) << r.what;
        EXPECT_TRUE(o.out == r.newBytes) << r.what;
        EXPECT_LE(o.plan.fetchedBytes, r.maxFetched) << r.what;
        EXPECT_GE(o.plan.fetchedBytes, r.minFetched) << r.what;
    }
}

// Changing bytes i, i+1, i+2 by +1, -2, +1 keeps both sums of the rolling checksum.
Bytes WeakTwin(Bytes block, size_t at) {
    block[at] = static_cast<uint8_t>(block[at] + 1);
    block[at + 1] = static_cast<uint8_t>(block[at + 1] - 2);
    block[at + 2] = static_cast<uint8_t>(block[at + 2] + 1);
    return block;
}

Bytes CollisionFriendly(size_t n, uint32_t seed) {
    Bytes b = Random(n, seed);
    for (auto& c : b) c = static_cast<uint8_t>(10 + c % 200);  // room for the +1/-2 changes
    return b;
}

TEST(BlockAssembly, CraftedRollingChecksumCollisionsAreRefusedByTheStrongHash) {
    const Bytes fresh = CollisionFriendly(8 * kB, 20);
    Bytes old;
    for (size_t i = 0; i < 8; ++i) {
        const Bytes twin = WeakTwin(Slice(fresh, i * kB, kB), 100 + i);
        ASSERT_EQ(WeakChecksum(twin.data(), kB), WeakChecksum(fresh.data() + i * kB, kB));
        old.insert(old.end(), twin.begin(), twin.end());
    }
    const BlockMap map = MapOf(fresh, kB);
    ScanStats stats;
    const std::vector<uint64_t> found = Scan(map, old, &stats);
    EXPECT_TRUE(std::all_of(found.begin(), found.end(), [](uint64_t f) { return f == kBlockNotFound; }));
    EXPECT_GE(stats.strongMisses, 8u);
    const Outcome o = Rebuild(old, fresh, kB);
    EXPECT_EQ(o.result, AssemblyResult::Done);
    EXPECT_TRUE(o.out == fresh);
}

// The short last block is looked for outside the rolling index: right after its predecessor and at
// the old file's end. A copy that only shares its rolling checksum is found at neither place.
TEST(BlockAssembly, ACollisionOnTheShortTailIsRefusedByTheStrongHash) {
    const Bytes fresh = CollisionFriendly(3 * kB + 500, 22);
    const Bytes fullBlocks = Slice(fresh, 0, 3 * kB), tail = Slice(fresh, 3 * kB, 500);
    const Bytes twin = WeakTwin(tail, 200);
    ASSERT_EQ(WeakChecksum(twin.data(), twin.size()), WeakChecksum(tail.data(), tail.size()));
    const Bytes other = Random(kB + 77, 23);
    struct Row {
        const char* where;
        Bytes old;
    } rows[] = {
        {"after its predecessor", Cat({fullBlocks, twin, other})},
        {"at the old file's end", Cat({other, twin})},
    };
    const BlockMap map = MapOf(fresh, kB);
    ASSERT_EQ(map.blocks.size(), 4u);
    for (const Row& r : rows) {
        EXPECT_EQ(Scan(map, r.old)[3], kBlockNotFound) << r.where;
        const Outcome o = Rebuild(r.old, fresh, kB);
        EXPECT_EQ(o.result, AssemblyResult::Done) << r.where;
        EXPECT_TRUE(o.out == fresh) << r.where;
    }
}

TEST(BlockAssembly, AFloodOfCollisionsEndsTheSearchAndTheFileIsStillRight) {
    const Bytes fresh = CollisionFriendly(kB, 21);
    Bytes old;
    for (size_t i = 0; i < 600; ++i) {
        const Bytes twin = WeakTwin(fresh, 10 + i % 4000);
        old.insert(old.end(), twin.begin(), twin.end());
    }
    old.insert(old.end(), fresh.begin(), fresh.end());
    const BlockMap map = MapOf(fresh, kB);
    ScanStats stats;
    Scan(map, old, &stats);
    EXPECT_TRUE(stats.gaveUp);
    EXPECT_LE(stats.strongMisses, 2 * map.blocks.size() + 257);
    const Outcome o = Rebuild(old, fresh, kB);
    EXPECT_EQ(o.result, AssemblyResult::Done);
    EXPECT_TRUE(o.out == fresh);
}

TEST(BlockAssembly, NeighbouringRangesAreCoalesced) {
    const Bytes fresh = Random(20 * kB, 30);
    Bytes old = fresh;
    for (size_t block : {2, 4, 6, 15}) old[block * kB + 9] ^= 1;  // blocks 3 and 5 stay between changes
    const Outcome apart = Rebuild(old, fresh, kB, nullptr, 0);
    EXPECT_EQ(apart.plan.ranges, 4u);
    EXPECT_EQ(apart.plan.fetchedBytes, 4 * kB);
    const Outcome merged = Rebuild(old, fresh, kB, nullptr, kB + 1);
    EXPECT_EQ(merged.plan.ranges, 2u);
    EXPECT_EQ(merged.plan.fetchedBytes, 6 * kB);
    for (const Outcome* o : {&apart, &merged}) {
        EXPECT_EQ(o->result, AssemblyResult::Done);
        EXPECT_TRUE(o->out == fresh);
    }
    // Found blocks that sit apart in the old file are separate copies; neighbours are one.
    const Bytes swapped = Cat({Slice(fresh, 10 * kB, 10 * kB), Slice(fresh, 0, 10 * kB)});
    const Outcome copies = Rebuild(swapped, fresh, kB);
    ASSERT_EQ(copies.plan.pieces.size(), 2u);
    EXPECT_EQ(copies.plan.pieces[0].source, 10 * kB);
    EXPECT_EQ(copies.plan.pieces[1].source, 0u);
}

TEST(BlockAssembly, ServerFaultsStopTheAssembly) {
    const Bytes fresh = Random(12 * kB + 3, 40);
    Bytes old = fresh;
    old[5 * kB] ^= 1;
    old[12 * kB + 1] ^= 1;
    Bytes wrong = fresh;
    wrong[5 * kB + 77] ^= 0x40;
    EXPECT_EQ(Rebuild(old, fresh, kB, &wrong).result, AssemblyResult::BlockMismatch);
    EXPECT_EQ(Rebuild(old, fresh, kB, nullptr, 0, 1).result, AssemblyResult::FetchFailed);
    EXPECT_EQ(Rebuild(old, fresh, kB, nullptr, 0, 0, 1).result, AssemblyResult::FetchFailed);
    const Bytes shorter = Slice(fresh, 0, 12 * kB);
    EXPECT_EQ(Rebuild(old, fresh, kB, &shorter).result, AssemblyResult::FetchFailed);
}

TEST(BlockAssembly, AFailingReadOfTheOldFileIsReported) {
    const Bytes fresh = Random(3 * kB, 50);
    const BlockMap map = MapOf(fresh, kB);
    OldReader reader{&fresh};
    reader.failAfterFirst = true;
    std::vector<uint64_t> found;
    ScanStats stats;
    Bytes big = Random(3 << 20, 51);
    reader.data = &big;
    EXPECT_FALSE(ScanForBlocks(map, ReadNext, &reader, found, stats));

    // The old file changed between the scan and the copy: readOld fails.
    const AssemblyPlan plan = PlanAssembly(map, Scan(map, fresh), 0);
    const Bytes gone;
    AssemblyState state;
    Memory m{&gone, &fresh, {}, &state};
    EXPECT_EQ(Assemble(map, plan, AssemblyIo{&m, ReadOld, Fetch, Write}, state), AssemblyResult::ReadFailed);
}

}  // namespace
