// Arbitrary bytes as a block map: whatever the reader accepts must be self-consistent, write back to
// the same bytes, and survive a scan and a plan against a small old file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "delta/BlockMap.h"
#include "delta/BlockMatch.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

struct Old {
    const uint8_t* data;
    size_t size, at;
};

size_t ReadNext(void* context, uint8_t* into, size_t most) {
    Old& o = *static_cast<Old*>(context);
    const size_t n = std::min(most, o.size - o.at);
    if (n) std::memcpy(into, o.data + o.at, n);
    o.at += n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BlockMap map;
    std::string why;
    if (!ReadBlockMap(data, size, map, why)) {
        Check(!why.empty());
        return 0;
    }
    Check(map.blocks.size() == BlockCount(map.fileSize, map.blockSize));
    Check(BlockMapBytes(map) == std::string(reinterpret_cast<const char*>(data), size));

    // The map's own bytes stand in for an old file: any blocks found must lie inside it.
    Old old{data, size, 0};
    std::vector<uint64_t> found;
    ScanStats stats;
    Check(ScanForBlocks(map, ReadNext, &old, found, stats));
    for (size_t i = 0; i < found.size(); ++i)
        Check(found[i] == kBlockNotFound || found[i] + BlockLength(map, i) <= size);
    const AssemblyPlan plan = PlanAssembly(map, found, map.blockSize);
    uint64_t next = 0;
    for (const Piece& p : plan.pieces) {
        Check(p.offset == next && p.length > 0);
        next += p.length;
    }
    Check(next == map.fileSize && plan.reusedBytes + plan.fetchedBytes == map.fileSize);
    return 0;
}
