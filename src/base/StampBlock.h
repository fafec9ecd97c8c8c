#pragma once
// The block a prebuilt patcher reserves for its operator's settings (manifest address and public
// keys), written into a copy of the executable by `qirell-manifest stamp` and read at start-up.
// Platform-free: the tool and the program share this layout.
//
//   offset  size  field
//        0    16  magic (kStampMagic), how the tool finds the block in the image
//       16     2  layout version, little-endian (1)
//       18     2  state: 0 = never stamped (the build's defaults apply), 1 = stamped
//       20     2  address length in bytes (UTF-8), at most kStampUrlCapacity
//       22     1  number of keys, 0 to kMaxPublicKeys
//       23     1  zero
//       24  2048  manifest address, UTF-8, zero-filled after its length
//     2072   256  4 public keys of 64 bytes (P-256 point X || Y, big-endian), unused ones zero
//     2328   232  zero, reserved
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using PublicKey = std::array<uint8_t, 64>;

constexpr size_t kStampBlockSize = 2560;
constexpr size_t kStampUrlCapacity = 2048;
constexpr size_t kMaxPublicKeys = 4;
constexpr uint16_t kStampLayoutVersion = 1;
constexpr size_t kStampVersionAt = 16, kStampStateAt = 18, kStampUrlLengthAt = 20, kStampKeyCountAt = 22,
                 kStampUrlAt = 24, kStampKeysAt = kStampUrlAt + kStampUrlCapacity;
static_assert(kStampKeysAt + kMaxPublicKeys * 64 <= kStampBlockSize);
constexpr size_t kStampMagicSize = 16;
// The magic with every bit inverted: the block itself must be the only place in the image where
// the 16 bytes appear, so code that checks them never holds them as they are.
constexpr uint8_t kStampMagicInverted[kStampMagicSize] = {0xae, 0x96, 0x8d, 0x9a, 0x93, 0x93, 0xac, 0x8b,
                                                          0x9e, 0x92, 0x8f, 0xdc, 0x71, 0xc4, 0x2e, 0xb8};
constexpr uint8_t StampMagicByte(size_t i) { return static_cast<uint8_t>(~kStampMagicInverted[i]); }

struct StampSettings {
    bool stamped = false;
    std::string url;  // UTF-8
    std::vector<PublicKey> keys;
};

// False for a block of another layout version or with inconsistent fields.
bool ReadStampBlock(const uint8_t* block, size_t size, StampSettings& out);

// "hex,hex,...": keys as 128 hexadecimal digits each (the build option's form). Empty text: no keys.
bool ParsePublicKeyList(std::string_view text, std::vector<PublicKey>& keys);
std::string PublicKeyHex(const PublicKey& key);
