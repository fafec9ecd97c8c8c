#pragma once
// Finding a new file's blocks in an older copy, and planning how to assemble the new file from the
// blocks found and from byte ranges fetched for the rest. Platform-free: the caller supplies the I/O.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "delta/BlockMap.h"

constexpr uint64_t kBlockNotFound = UINT64_MAX;

// Reads the next bytes of the old file into `into`; returns the count, 0 at its end, SIZE_MAX on error.
using ReadNextFn = size_t (*)(void* context, uint8_t* into, size_t most);

struct ScanStats {
    uint64_t bytesScanned = 0;
    uint64_t strongChecks = 0;  // candidates whose rolling checksum matched
    uint64_t strongMisses = 0;  // of those, the ones the strong hash refused
    bool gaveUp = false;        // too many refused candidates: the rest of the file was not searched
};

// The scan's own memory besides the map and the result: one read buffer of this size plus the index.
constexpr size_t kScanChunk = 1u << 20;

// Streams the old file once; foundAt[i] becomes the old file's offset of a copy of block i, or
// kBlockNotFound. False only when a read failed.
bool ScanForBlocks(const BlockMap& map, ReadNextFn read, void* context, std::vector<uint64_t>& foundAt,
                   ScanStats& stats);

// One stretch of the new file: copied from the old file at `source`, or fetched (bytes offset..offset+length).
struct Piece {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool local = false;
    uint64_t source = 0;
};

struct AssemblyPlan {
    std::vector<Piece> pieces;  // in file order, covering the whole new file
    uint64_t reusedBytes = 0;
    uint64_t fetchedBytes = 0;
    size_t ranges = 0;          // fetched pieces, one request each
};

// Runs of found blocks that sit together in the old file become one local piece; missing blocks
// become fetched pieces, and a run of found blocks shorter than mergeGap between two of them is
// fetched too, trading those bytes for one request fewer.
AssemblyPlan PlanAssembly(const BlockMap& map, const std::vector<uint64_t>& foundAt, uint64_t mergeGap);

// The I/O of one assembly. Each returns false on failure.
struct AssemblyIo {
    void* context = nullptr;
    // Reads exactly `length` bytes of the old file at `offset`.
    bool (*readOld)(void* context, uint64_t offset, uint8_t* into, size_t length) = nullptr;
    // Fetches new-file bytes [offset, offset+length) and hands them, in order, to AssemblyWrite.
    bool (*fetch)(void* context, uint64_t offset, uint64_t length) = nullptr;
    // Appends bytes to the new file being written.
    bool (*write)(void* context, const uint8_t* data, size_t length) = nullptr;
};

enum class AssemblyResult { Done, ReadFailed, FetchFailed, WriteFailed, BlockMismatch };

struct AssemblyState {
    const BlockMap* map = nullptr;
    AssemblyIo io;
    uint64_t written = 0;      // bytes of the new file written so far
    uint64_t pieceEnd = 0;     // where the current fetched piece ends
    std::vector<uint8_t> block;  // the block being completed, checked before it is written
    uint64_t reused = 0, fetched = 0;
    bool mismatch = false;
    bool writeFailed = false;
};

// Writes the whole new file piece by piece. Fetched blocks are checked against their strong hash
// before they are written, so a wrong byte from the server stops the assembly at its block; local
// blocks were confirmed when the scan found them, and the whole file's SHA-256 catches any change since.
AssemblyResult Assemble(const BlockMap& map, const AssemblyPlan& plan, const AssemblyIo& io, AssemblyState& state);
// For the fetch callback: bytes of the current fetched piece; false when they overrun it or fail a check.
bool AssemblyWrite(AssemblyState& state, const uint8_t* data, size_t length);
