#include "delta/BlockMatch.h"

#include <algorithm>
#include <cstring>

namespace {

struct Slot {
    uint32_t weak = 0;
    uint32_t first = 0;  // into Index::order
    uint32_t count = 0;  // 0: empty slot
};

// Full-length blocks by rolling checksum: an open-addressed table over runs of `order`, which is
// sorted by checksum and then by strong hash.
struct Index {
    std::vector<uint32_t> order;
    std::vector<Slot> slots;
    uint32_t shift = 0;
};

uint32_t SlotOf(const Index& x, uint32_t weak) { return (weak * 0x9E3779B1u) >> x.shift; }

void BuildIndex(const BlockMap& map, size_t fullBlocks, Index& x) {
    x.order.resize(fullBlocks);
    for (size_t i = 0; i < fullBlocks; ++i) x.order[i] = static_cast<uint32_t>(i);
    std::sort(x.order.begin(), x.order.end(), [&](uint32_t l, uint32_t r) {
        const BlockRecord &a = map.blocks[l], &b = map.blocks[r];
        if (a.weak != b.weak) return a.weak < b.weak;
        const int c = std::memcmp(a.strong, b.strong, kBlockStrongBytes);
        return c != 0 ? c < 0 : l < r;
    });
    uint32_t bits = 4;
    while ((size_t(1) << bits) < 2 * fullBlocks) ++bits;
    x.shift = 32 - bits;
    x.slots.assign(size_t(1) << bits, Slot{});
    const uint32_t mask = (1u << bits) - 1;
    for (size_t i = 0; i < fullBlocks;) {
        const uint32_t weak = map.blocks[x.order[i]].weak;
        size_t end = i + 1;
        while (end < fullBlocks && map.blocks[x.order[end]].weak == weak) ++end;
        uint32_t s = SlotOf(x, weak);
        while (x.slots[s].count) s = (s + 1) & mask;
        x.slots[s] = Slot{weak, static_cast<uint32_t>(i), static_cast<uint32_t>(end - i)};
        i = end;
    }
}

const Slot* Find(const Index& x, uint32_t weak) {
    const uint32_t mask = static_cast<uint32_t>(x.slots.size() - 1);
    for (uint32_t s = SlotOf(x, weak);; s = (s + 1) & mask) {
        const Slot& slot = x.slots[s];
        if (!slot.count) return nullptr;
        if (slot.weak == weak) return &slot;
    }
}

// The strong hash of the window against the run of candidates; every block with equal content that
// is still missing gets `offset`. True when the window holds some block's content.
bool Confirm(const BlockMap& map, const Index& x, const Slot& slot, const uint8_t* window, uint64_t offset,
             std::vector<uint64_t>& foundAt, ScanStats& stats) {
    ++stats.strongChecks;
    uint8_t strong[kBlockStrongBytes];
    StrongChecksum(window, map.blockSize, strong);
    const uint32_t* begin = x.order.data() + slot.first;
    const uint32_t* end = begin + slot.count;
    const uint32_t* at = std::lower_bound(begin, end, strong, [&](uint32_t block, const uint8_t* key) {
        return std::memcmp(map.blocks[block].strong, key, kBlockStrongBytes) < 0;
    });
    bool any = false;
    for (; at != end && std::memcmp(map.blocks[*at].strong, strong, kBlockStrongBytes) == 0; ++at) {
        any = true;
        if (foundAt[*at] == kBlockNotFound) foundAt[*at] = offset;
    }
    if (!any) ++stats.strongMisses;
    return any;
}

bool SameAsBlock(const BlockMap& map, size_t block, const uint8_t* data) {
    const uint32_t length = BlockLength(map, block);
    if (WeakChecksum(data, length) != map.blocks[block].weak) return false;
    uint8_t strong[kBlockStrongBytes];
    StrongChecksum(data, length, strong);
    return std::memcmp(strong, map.blocks[block].strong, kBlockStrongBytes) == 0;
}

}  // namespace

bool ScanForBlocks(const BlockMap& map, ReadNextFn read, void* context, std::vector<uint64_t>& foundAt,
                   ScanStats& stats) {
    stats = ScanStats{};
    const size_t count = map.blocks.size();
    foundAt.assign(count, kBlockNotFound);
    if (count == 0) return true;
    const size_t block = map.blockSize;
    // A short last block cannot be found by the full-length window; it is looked for right after its
    // predecessor and at the old file's end.
    const bool shortTail = map.fileSize % block != 0;
    const size_t tail = count - 1;
    const size_t fullBlocks = shortTail ? count - 1 : count;
    Index index;
    BuildIndex(map, fullBlocks, index);
    // Each refused candidate costs one block of hashing: together at most about twice the file.
    const uint64_t missBudget = 2 * uint64_t(count) + 256;

    const size_t capacity = kScanChunk + 2 * block;
    std::vector<uint8_t> buf(capacity);
    uint64_t base = 0;  // old-file offset of buf[0]
    size_t have = 0, pos = 0;
    bool eof = false;
    // Keeps one block before the window, so the file's last block is still there at its end.
    auto fill = [&]() -> bool {
        const size_t keep = pos > block ? pos - block : 0;
        std::memmove(buf.data(), buf.data() + keep, have - keep);
        base += keep;
        have -= keep;
        pos -= keep;
        while (!eof && have < capacity) {
            const size_t got = read(context, buf.data() + have, capacity - have);
            if (got == SIZE_MAX || got > capacity - have) return false;
            if (got == 0) eof = true;
            have += got;
            stats.bytesScanned += got;
        }
        return true;
    };

    RollingSum roll;
    bool rolling = false;
    for (;;) {
        if (have - pos <= block && !eof) {
            if (!fill()) return false;
            continue;
        }
        if (have - pos < block) break;
        if (!rolling) {
            RollStart(roll, buf.data() + pos, block);
            rolling = true;
        }
        const Slot* slot = Find(index, RollValue(roll));
        if (slot && Confirm(map, index, *slot, buf.data() + pos, base + pos, foundAt, stats)) {
            if (shortTail && tail > 0 && foundAt[tail] == kBlockNotFound && foundAt[tail - 1] == base + pos) {
                const size_t need = block + BlockLength(map, tail);
                if (have - pos < need && !eof && !fill()) return false;
                if (have - pos >= need && SameAsBlock(map, tail, buf.data() + pos + block))
                    foundAt[tail] = base + pos + block;
            }
            pos += block;
            rolling = false;
            continue;
        }
        if (stats.strongMisses > missBudget) {
            stats.gaveUp = true;
            return true;
        }
        if (have - pos <= block) break;  // the window sits at the file's end
        RollStep(roll, buf[pos], buf[pos + block]);
        ++pos;
    }
    if (shortTail && foundAt[tail] == kBlockNotFound) {
        const size_t length = BlockLength(map, tail);
        if (have >= length && SameAsBlock(map, tail, buf.data() + have - length))
            foundAt[tail] = base + have - length;
    }
    return true;
}

AssemblyPlan PlanAssembly(const BlockMap& map, const std::vector<uint64_t>& foundAt, uint64_t mergeGap) {
    AssemblyPlan plan;
    const size_t count = map.blocks.size();
    std::vector<bool> local(count);
    for (size_t i = 0; i < count; ++i) local[i] = foundAt[i] != kBlockNotFound;
    // Short stretches of found blocks between two fetched ones are fetched along with them.
    for (size_t i = 0; i < count;) {
        if (!local[i]) {
            ++i;
            continue;
        }
        size_t end = i;
        uint64_t bytes = 0;
        while (end < count && local[end]) bytes += BlockLength(map, end++);
        if (i > 0 && end < count && bytes < mergeGap)
            for (size_t k = i; k < end; ++k) local[k] = false;
        i = end;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint64_t offset = uint64_t(i) * map.blockSize;
        const uint32_t length = BlockLength(map, i);
        Piece* last = plan.pieces.empty() ? nullptr : &plan.pieces.back();
        const bool extends = last && last->local == local[i] &&
                             (!local[i] || last->source + last->length == foundAt[i]);
        if (extends) {
            last->length += length;
        } else {
            plan.pieces.push_back(Piece{offset, length, local[i], local[i] ? foundAt[i] : 0});
            if (!local[i]) ++plan.ranges;
        }
        (local[i] ? plan.reusedBytes : plan.fetchedBytes) += length;
    }
    return plan;
}

bool AssemblyWrite(AssemblyState& state, const uint8_t* data, size_t length) {
    const BlockMap& map = *state.map;
    while (length) {
        if (state.written + state.block.size() + length > state.pieceEnd) return false;
        const uint64_t index = state.written / map.blockSize;
        const size_t want = BlockLength(map, index) - state.block.size();
        const size_t take = std::min(want, length);
        state.block.insert(state.block.end(), data, data + take);
        data += take;
        length -= take;
        if (take < want) break;
        uint8_t strong[kBlockStrongBytes];
        StrongChecksum(state.block.data(), state.block.size(), strong);
        if (std::memcmp(strong, map.blocks[index].strong, kBlockStrongBytes) != 0) {
            state.mismatch = true;
            return false;
        }
        if (!state.io.write(state.io.context, state.block.data(), state.block.size())) {
            state.writeFailed = true;
            return false;
        }
        state.written += state.block.size();
        state.fetched += state.block.size();
        state.block.clear();
    }
    return true;
}

AssemblyResult Assemble(const BlockMap& map, const AssemblyPlan& plan, const AssemblyIo& io, AssemblyState& state) {
    state = AssemblyState{};
    state.map = &map;
    state.io = io;
    state.block.reserve(map.blockSize);
    std::vector<uint8_t> copy;
    for (const Piece& piece : plan.pieces) {
        if (piece.offset != state.written) return AssemblyResult::ReadFailed;
        if (!piece.local) {
            state.pieceEnd = piece.offset + piece.length;
            const bool ok = io.fetch(io.context, piece.offset, piece.length);
            if (state.mismatch) return AssemblyResult::BlockMismatch;
            if (state.writeFailed) return AssemblyResult::WriteFailed;
            if (!ok || state.written != state.pieceEnd || !state.block.empty()) return AssemblyResult::FetchFailed;
            continue;
        }
        if (copy.empty()) copy.resize(kScanChunk);
        for (uint64_t done = 0; done < piece.length;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(copy.size(), piece.length - done));
            if (!io.readOld(io.context, piece.source + done, copy.data(), n)) return AssemblyResult::ReadFailed;
            if (!io.write(io.context, copy.data(), n)) return AssemblyResult::WriteFailed;
            done += n;
            state.written += n;
            state.reused += n;
        }
    }
    return state.written == map.fileSize ? AssemblyResult::Done : AssemblyResult::ReadFailed;
}
