#pragma once
// Block maps: a file cut into fixed-size blocks, each with a rolling checksum and a truncated SHA-256,
// so that an older copy of the file can be searched for the blocks it still holds.
//
// Layout (little-endian), all of it covered by the map's own SHA-256 in the manifest:
//   0  8  magic "QBMAP\r\n\x1a"
//   8  4  version (1)
//  12  4  block size: a power of two, 1 KiB to 1 MiB
//  16  8  file size
//  24  8  block count = ceil(file size / block size)
//  32 32  SHA-256 of the whole file
//  64     per block: 4 bytes rolling checksum, 16 bytes SHA-256 prefix (the last block may be short)
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "digest/Sha256Core.h"

constexpr size_t kBlockStrongBytes = 16;
constexpr size_t kBlockMapHeaderBytes = 64;
constexpr size_t kBlockRecordBytes = 4 + kBlockStrongBytes;
constexpr uint32_t kBlockMapVersion = 1;
constexpr uint32_t kMinBlockSize = 1024;
constexpr uint32_t kMaxBlockSize = 1u << 20;
// 2^21 records are 40 MiB of map: 64 KiB blocks reach 128 GiB, the largest blocks 2 TiB.
constexpr uint64_t kMaxBlockCount = 1ull << 21;

struct BlockRecord {
    uint32_t weak = 0;
    uint8_t strong[kBlockStrongBytes] = {};
};

struct BlockMap {
    uint32_t blockSize = 0;
    uint64_t fileSize = 0;
    uint8_t fileSha256[32] = {};
    std::vector<BlockRecord> blocks;
};

// The writer's block size: the power of two nearest above sqrt(size)/2, kept within 4 KiB and 64 KiB
// (4 KiB up to 64 MiB, 16 KiB at 1 GiB, 32 KiB at 4 GiB, 64 KiB from 16 GiB); past 128 GiB doubled
// until the count fits kMaxBlockCount (128 KiB past 128 GiB, up to 1 MiB at 2 TiB).
uint32_t BlockSizeFor(uint64_t fileSize);
// False for a file too large for any map the reader accepts (over 2 TiB): it is served whole only.
bool BlockMapFits(uint64_t fileSize);
uint64_t BlockCount(uint64_t fileSize, uint32_t blockSize);
uint32_t BlockLength(const BlockMap& map, uint64_t index);

// The rolling checksum over a window of fixed length: two 16-bit sums of the bytes (each plus 31),
// the plain one in the low half and the position-weighted one in the high half.
struct RollingSum {
    uint32_t a = 0, b = 0, length = 0;
};
void RollStart(RollingSum& r, const uint8_t* data, size_t length);
// Slides the window one byte: `out` leaves at the front, `in` enters at the back.
inline void RollStep(RollingSum& r, uint8_t out, uint8_t in) {
    r.a += uint32_t(in) - uint32_t(out);
    r.b += r.a - r.length * (uint32_t(out) + 31);
}
inline uint32_t RollValue(const RollingSum& r) { return (r.a & 0xffff) | (r.b << 16); }
uint32_t WeakChecksum(const uint8_t* data, size_t length);
void StrongChecksum(const uint8_t* data, size_t length, uint8_t out[kBlockStrongBytes]);

// Builds a map from the file's bytes fed in any pieces.
struct BlockMapBuilder {
    BlockMap map;
    Sha256State whole{};
    std::vector<uint8_t> pending;
    uint64_t fed = 0;
};
// blockSize 0 takes BlockSizeFor(fileSize).
void BlockMapBegin(BlockMapBuilder& b, uint64_t fileSize, uint32_t blockSize = 0);
void BlockMapAdd(BlockMapBuilder& b, const void* data, size_t length);
// False when the bytes fed were not exactly the size given to BlockMapBegin.
bool BlockMapFinish(BlockMapBuilder& b);

std::string BlockMapBytes(const BlockMap& map);
// Checks everything the layout promises; false with a short English reason otherwise.
bool ReadBlockMap(const uint8_t* data, size_t length, BlockMap& map, std::string& why);
