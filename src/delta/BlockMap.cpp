#include "delta/BlockMap.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kMagic[8] = {'Q', 'B', 'M', 'A', 'P', '\r', '\n', 0x1a};

void Put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void Put64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }

void AddRecord(BlockMap& map, const uint8_t* data, size_t length) {
    BlockRecord r;
    r.weak = WeakChecksum(data, length);
    StrongChecksum(data, length, r.strong);
    map.blocks.push_back(r);
}

}  // namespace

uint32_t BlockSizeFor(uint64_t fileSize) {
    uint32_t size = 4096;
    // size < sqrt(fileSize)/2  <=>  4 * size * size < fileSize
    while (size < 65536 && 4 * uint64_t(size) * size < fileSize) size *= 2;
    // Past 128 GiB the count, not the square root, sets the size: the reader takes no more blocks.
    while (size < kMaxBlockSize && BlockCount(fileSize, size) > kMaxBlockCount) size *= 2;
    return size;
}

bool BlockMapFits(uint64_t fileSize) { return BlockCount(fileSize, kMaxBlockSize) <= kMaxBlockCount; }

uint64_t BlockCount(uint64_t fileSize, uint32_t blockSize) {
    return fileSize / blockSize + (fileSize % blockSize ? 1 : 0);
}

uint32_t BlockLength(const BlockMap& map, uint64_t index) {
    const uint64_t start = index * map.blockSize;
    const uint64_t left = map.fileSize - start;
    return left < map.blockSize ? static_cast<uint32_t>(left) : map.blockSize;
}

void RollStart(RollingSum& r, const uint8_t* data, size_t length) {
    // b = sum of (length - i) * (x[i] + 31): independent sums, which the compiler can vectorise.
    uint32_t sum = 0, weighted = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += data[i];
        weighted += static_cast<uint32_t>(length - i) * data[i];
    }
    const uint32_t n = static_cast<uint32_t>(length);
    r.length = n;
    r.a = sum + 31 * n;
    r.b = weighted + 31 * static_cast<uint32_t>(uint64_t(n) * (n + 1) / 2);
}

uint32_t WeakChecksum(const uint8_t* data, size_t length) {
    RollingSum r;
    RollStart(r, data, length);
    return RollValue(r);
}

void StrongChecksum(const uint8_t* data, size_t length, uint8_t out[kBlockStrongBytes]) {
    uint8_t digest[32];
    Sha256Of(data, length, digest);
    std::memcpy(out, digest, kBlockStrongBytes);
}

void BlockMapBegin(BlockMapBuilder& b, uint64_t fileSize, uint32_t blockSize) {
    b.map = BlockMap{};
    b.map.fileSize = fileSize;
    b.map.blockSize = blockSize ? blockSize : BlockSizeFor(fileSize);
    b.map.blocks.reserve(static_cast<size_t>(BlockCount(fileSize, b.map.blockSize)));
    Sha256Init(b.whole);
    b.pending.clear();
    b.pending.reserve(b.map.blockSize);
    b.fed = 0;
}

void BlockMapAdd(BlockMapBuilder& b, const void* data, size_t length) {
    if (length == 0) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    Sha256Update(b.whole, p, length);
    b.fed += length;
    const size_t block = b.map.blockSize;
    if (!b.pending.empty()) {
        const size_t take = std::min(length, block - b.pending.size());
        b.pending.insert(b.pending.end(), p, p + take);
        p += take;
        length -= take;
        if (b.pending.size() < block) return;
        AddRecord(b.map, b.pending.data(), block);
        b.pending.clear();
    }
    for (; length >= block; p += block, length -= block) AddRecord(b.map, p, block);
    b.pending.assign(p, p + length);
}

bool BlockMapFinish(BlockMapBuilder& b) {
    if (!b.pending.empty()) AddRecord(b.map, b.pending.data(), b.pending.size());
    b.pending.clear();
    Sha256Final(b.whole, b.map.fileSha256);
    return b.fed == b.map.fileSize;
}

std::string BlockMapBytes(const BlockMap& map) {
    std::string out(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
    out.reserve(kBlockMapHeaderBytes + map.blocks.size() * kBlockRecordBytes);
    Put32(out, kBlockMapVersion);
    Put32(out, map.blockSize);
    Put64(out, map.fileSize);
    Put64(out, map.blocks.size());
    out.append(reinterpret_cast<const char*>(map.fileSha256), 32);
    for (const BlockRecord& r : map.blocks) {
        Put32(out, r.weak);
        out.append(reinterpret_cast<const char*>(r.strong), kBlockStrongBytes);
    }
    return out;
}

bool ReadBlockMap(const uint8_t* data, size_t length, BlockMap& map, std::string& why) {
    if (length < kBlockMapHeaderBytes || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        why = "not a block map";
        return false;
    }
    if (Get32(data + 8) != kBlockMapVersion) {
        why = "unknown block map version";
        return false;
    }
    const uint32_t blockSize = Get32(data + 12);
    if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize || (blockSize & (blockSize - 1))) {
        why = "bad block size";
        return false;
    }
    const uint64_t fileSize = Get64(data + 16), count = Get64(data + 24);
    if (count > kMaxBlockCount) {
        why = "too many blocks";
        return false;
    }
    // The file size is checked through the count, so it cannot overflow anything later.
    if (fileSize > count * blockSize || count != BlockCount(fileSize, blockSize)) {
        why = "block count does not fit the file size";
        return false;
    }
    if ((length - kBlockMapHeaderBytes) / kBlockRecordBytes != count ||
        (length - kBlockMapHeaderBytes) % kBlockRecordBytes != 0) {
        why = "length does not fit the block count";
        return false;
    }
    map.blockSize = blockSize;
    map.fileSize = fileSize;
    std::memcpy(map.fileSha256, data + 32, 32);
    map.blocks.assign(static_cast<size_t>(count), BlockRecord{});
    const uint8_t* p = data + kBlockMapHeaderBytes;
    for (BlockRecord& r : map.blocks) {
        r.weak = Get32(p);
        std::memcpy(r.strong, p + 4, kBlockStrongBytes);
        p += kBlockRecordBytes;
    }
    return true;
}
