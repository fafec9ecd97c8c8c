#include "trust/StampBlock.h"

#include <cstring>

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Compared through the inverted form, so this code never holds the magic itself.
bool MagicAt(const uint8_t* p) {
    for (size_t i = 0; i < kStampMagicSize; ++i)
        if (static_cast<uint8_t>(~p[i]) != kStampMagicInverted[i]) return false;
    return true;
}

}  // namespace

bool ReadStampBlock(const uint8_t* block, size_t size, StampSettings& out) {
    if (size != kStampBlockSize || !MagicAt(block)) return false;
    const uint16_t layout = Get16(block + kStampVersionAt);
    if (layout != kStampLayoutVersion && layout != kStampOneUrlLayout) return false;
    const uint16_t state = Get16(block + kStampStateAt), urlLength = Get16(block + kStampUrlLengthAt);
    const uint8_t keyCount = block[kStampKeyCountAt];
    if (state > 1 || urlLength > kStampUrlCapacity || keyCount > kMaxPublicKeys) return false;
    // Never stamped: no address (the build's applies), but the build's own keys.
    if (state == 0 && urlLength != 0) return false;
    const std::string text(reinterpret_cast<const char*>(block + kStampUrlAt), urlLength);
    std::vector<std::string> urls;
    for (size_t at = 0; state == 1;) {
        const size_t end = text.find('\0', at);
        urls.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    const size_t count = layout == kStampOneUrlLayout ? (state == 1 ? 1 : 0) : block[kStampUrlCountAt];
    if (urls.size() != count || count > kMaxManifestUrls) return false;
    for (const std::string& url : urls)
        if (url.empty() && (count > 1 || layout == kStampLayoutVersion)) return false;
    out = StampSettings{};
    out.stamped = state == 1;
    out.layout = layout;
    if (!urls.empty()) out.url = urls.front();
    out.fallbackUrls.assign(urls.begin() + (urls.empty() ? 0 : 1), urls.end());
    for (size_t i = 0; i < keyCount; ++i) {
        PublicKey key;
        std::memcpy(key.data(), block + kStampKeysAt + i * 64, 64);
        out.keys.push_back(key);
    }
    return true;
}

StampBlockSearch FindStampMagic(const uint8_t* image, size_t size) {
    StampBlockSearch found;
    const uint8_t first = StampMagicByte(0);
    for (size_t at = 0; size >= kStampMagicSize && at <= size - kStampMagicSize; ++at) {
        const void* hit = std::memchr(image + at, first, size - kStampMagicSize + 1 - at);
        if (!hit) break;
        at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - image);
        if (!MagicAt(image + at)) continue;
        if (found.count++ == 0) found.first = at;
        if (found.count == 2) break;
    }
    return found;
}

bool ReadImageKeys(const uint8_t* image, size_t size, std::vector<PublicKey>& keys) {
    const StampBlockSearch found = FindStampMagic(image, size);
    StampSettings settings;
    if (found.count != 1 || size - found.first < kStampBlockSize ||
        !ReadStampBlock(image + found.first, kStampBlockSize, settings))
        return false;
    keys = std::move(settings.keys);
    return true;
}

bool ParsePublicKeyList(std::string_view text, std::vector<PublicKey>& keys) {
    PublicKeyList parsed;
    const bool ok = ParsePublicKeys(text, parsed);
    keys.assign(parsed.keys.begin(), parsed.keys.begin() + (ok ? parsed.count : 0));
    return ok;
}

std::string PublicKeyHex(const PublicKey& key) { return HexLower(key.data(), key.size()); }
