#include "base/StampBlock.h"

#include <algorithm>
#include <cstring>

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ReadStampBlock(const uint8_t* block, size_t size, StampSettings& out) {
    if (size != kStampBlockSize) return false;
    for (size_t i = 0; i < kStampMagicSize; ++i)
        if (block[i] != StampMagicByte(i)) return false;
    if (Get16(block + kStampVersionAt) != kStampLayoutVersion) return false;
    const uint16_t state = Get16(block + kStampStateAt), urlLength = Get16(block + kStampUrlLengthAt);
    const uint8_t keyCount = block[kStampKeyCountAt];
    if (state > 1 || urlLength > kStampUrlCapacity || keyCount > kMaxPublicKeys) return false;
    if (state == 0 && (urlLength != 0 || keyCount != 0)) return false;
    out = StampSettings{};
    out.stamped = state == 1;
    out.url.assign(reinterpret_cast<const char*>(block + kStampUrlAt), urlLength);
    if (out.url.find('\0') != std::string::npos) return false;
    for (size_t i = 0; i < keyCount; ++i) {
        PublicKey key;
        std::memcpy(key.data(), block + kStampKeysAt + i * 64, 64);
        out.keys.push_back(key);
    }
    return true;
}

namespace {

bool ParseKeys(std::string_view text, std::vector<PublicKey>& keys) {
    if (text.empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(text.find_first_of(",;", start), text.size());
        const std::string_view item = text.substr(start, end - start);
        if (item.size() != 128 || keys.size() == kMaxPublicKeys) return false;
        PublicKey key;
        for (size_t i = 0; i < 64; ++i) {
            const int hi = HexDigit(item[2 * i]), lo = HexDigit(item[2 * i + 1]);
            if (hi < 0 || lo < 0) return false;
            key[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        keys.push_back(key);
        if (end == text.size()) return true;
        start = end + 1;
    }
}

}  // namespace

// All or nothing: a list with one bad item leaves no keys.
bool ParsePublicKeyList(std::string_view text, std::vector<PublicKey>& keys) {
    std::vector<PublicKey> parsed;
    const bool ok = ParseKeys(text, parsed);
    keys = ok ? std::move(parsed) : std::vector<PublicKey>{};
    return ok;
}

std::string PublicKeyHex(const PublicKey& key) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : key) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}
