#pragma once
// The block a prebuilt patcher reserves for its operator's settings (manifest addresses and public
// keys), written into a copy of the executable by `qirell-manifest stamp` and read at start-up.
// Platform-free: the tool and the program share this layout.
//
//   offset  size  field
//        0    16  magic (kStampMagic), how the tool finds the block in the image
//       16     2  layout version, little-endian (2; version 1 blocks are read too)
//       18     2  state: 0 = never stamped (the build's address applies), 1 = stamped
//       20     2  length in bytes of the address text, at most kStampUrlCapacity; 0 when never stamped
//       22     1  number of keys, 0 to kMaxPublicKeys (the build option's keys until stamped)
//       23     1  number of addresses, 0 to kMaxManifestUrls (0 exactly when never stamped); version 1: zero
//       24  2048  address text: the manifest addresses (UTF-8) in the order tried, one zero byte between
//                 two; zero-filled after its length. Version 1 holds one address and no zero byte.
//     2072   256  4 public keys of 64 bytes (P-256 point X || Y, big-endian), unused ones zero
//     2328   232  zero, reserved
// A block of one address has the same bytes in both versions but the version and the count.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "digest/PublicKey.h"
#include "text/Hex.h"

constexpr size_t kStampBlockSize = 2560;
constexpr size_t kStampUrlCapacity = 2048;
constexpr size_t kMaxPublicKeys = 4;
constexpr size_t kMaxManifestUrls = 4;
constexpr uint16_t kStampLayoutVersion = 2;
constexpr uint16_t kStampOneUrlLayout = 1;  // still read; an older patcher's block is stamped in it
constexpr size_t kStampVersionAt = 16, kStampStateAt = 18, kStampUrlLengthAt = 20, kStampKeyCountAt = 22,
                 kStampUrlCountAt = 23, kStampUrlAt = 24, kStampKeysAt = kStampUrlAt + kStampUrlCapacity;
static_assert(kStampKeysAt + kMaxPublicKeys * 64 <= kStampBlockSize);
constexpr size_t kStampMagicSize = 16;
// The magic with every bit inverted: the block itself must be the only place in the image where
// the 16 bytes appear, so code that checks them never holds them as they are.
constexpr uint8_t kStampMagicInverted[kStampMagicSize] = {0xae, 0x96, 0x8d, 0x9a, 0x93, 0x93, 0xac, 0x8b,
                                                          0x9e, 0x92, 0x8f, 0xdc, 0x71, 0xc4, 0x2e, 0xb8};
constexpr uint8_t StampMagicByte(size_t i) { return static_cast<uint8_t>(~kStampMagicInverted[i]); }

struct StampSettings {
    bool stamped = false;
    std::string url;  // UTF-8, the first manifest address
    std::vector<PublicKey> keys;
    std::vector<std::string> fallbackUrls;  // further manifest addresses, tried in order after url
    uint16_t layout = kStampLayoutVersion;  // as read; what the tool writes back into the same image
};

// False for a block of an unknown layout version or with inconsistent fields.
bool ReadStampBlock(const uint8_t* block, size_t size, StampSettings& out);

// Where the stamp blocks of an image begin: the number of places its magic appears (0, 1 or, as 2,
// more than one) and the first of them.
struct StampBlockSearch {
    size_t count = 0;
    size_t first = 0;
};
StampBlockSearch FindStampMagic(const uint8_t* image, size_t size);
// The keys an image carries, read from its one stamp block; false when it has none, more than one,
// or a block this layout cannot read.
bool ReadImageKeys(const uint8_t* image, size_t size, std::vector<PublicKey>& keys);

// "hex,hex,...": keys as 128 hexadecimal digits each (the build option's form), ',' or ';' between
// them. Empty text: no keys. Usable at compile time, where it fills the build's stamp block.
struct PublicKeyList {
    std::array<PublicKey, kMaxPublicKeys> keys{};
    size_t count = 0;
};
constexpr bool ParsePublicKeys(std::string_view text, PublicKeyList& out) {
    out = PublicKeyList{};
    if (text.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < text.size() && text[end] != ',' && text[end] != ';') ++end;
        if (end - start != 128 || out.count == kMaxPublicKeys) return false;
        PublicKey& key = out.keys[out.count++];
        if (!HexToBytes(text.substr(start), key.data(), key.size())) return false;
        if (end == text.size()) return true;
        start = end + 1;
    }
}
// The same into a vector, all or nothing: a list with one bad item leaves no keys.
bool ParsePublicKeyList(std::string_view text, std::vector<PublicKey>& keys);
std::string PublicKeyHex(const PublicKey& key);
