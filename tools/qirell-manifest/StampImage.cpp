#include <cstring>

#include "Stamp.h"

namespace {

// The patcher splits each address into a host of up to 255 characters and a path with query of up
// to 2047 (its request buffers, counted in UTF-16 units); the manifest's fetch adds "&t=" and up to
// 20 digits, and the signature's fetch ".sig" as well.
constexpr size_t kRequestPathLimit = 2047;
constexpr size_t kAddedByFetches = 4 + 3 + 20;

uint32_t Get32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
                                 static_cast<uint8_t>(s[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
}
uint16_t Get16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Offset of the optional header's CheckSum field, or 0 when the image is not a PE file.
size_t ChecksumFieldAt(const std::string& image) {
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return 0;
    const size_t pe = Get32(image, 0x3c);
    if (pe > image.size() || image.size() - pe < 24 + 240 || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return 0;
    return pe + 24 + 64;
}

// The certificate table entry (Authenticode) of the optional header's data directories.
bool HasCertificateTable(const std::string& image) {
    const size_t optional = ChecksumFieldAt(image) - 64;
    const uint16_t magic = Get16(image, optional);
    const size_t directories = optional + (magic == 0x20b ? 112 : 96);
    const size_t entry = directories + 4 * 8;
    const size_t count = Get32(image, directories - 4);
    if (count <= 4 || entry + 8 > image.size()) return false;
    return Get32(image, entry) != 0 || Get32(image, entry + 4) != 0;
}

}  // namespace

std::array<uint8_t, kStampBlockSize> EmptyStampBlock() {
    std::array<uint8_t, kStampBlockSize> block{};
    for (size_t i = 0; i < kStampMagicSize; ++i) block[i] = StampMagicByte(i);
    Put16(block.data() + kStampVersionAt, kStampLayoutVersion);
    return block;
}

bool WriteStampBlock(const StampSettings& settings, uint8_t* block, size_t size) {
    const bool oneUrl = settings.layout == kStampOneUrlLayout;
    std::string text = settings.url;
    for (const std::string& more : settings.fallbackUrls) text += std::string(1, '\0') + more;
    if (size != kStampBlockSize || text.size() > kStampUrlCapacity || settings.url.find('\0') != std::string::npos ||
        settings.keys.size() > kMaxPublicKeys || 1 + settings.fallbackUrls.size() > kMaxManifestUrls ||
        (oneUrl && !settings.fallbackUrls.empty()) ||
        (settings.layout != kStampLayoutVersion && !oneUrl))
        return false;
    for (const std::string& more : settings.fallbackUrls)
        if (more.empty() || more.find('\0') != std::string::npos) return false;
    if (!settings.stamped && (!text.empty() || !settings.keys.empty())) return false;
    const std::array<uint8_t, kStampBlockSize> empty = EmptyStampBlock();
    std::memcpy(block, empty.data(), size);
    Put16(block + kStampVersionAt, settings.layout);
    if (!settings.stamped) return true;
    Put16(block + kStampStateAt, 1);
    Put16(block + kStampUrlLengthAt, static_cast<uint16_t>(text.size()));
    block[kStampKeyCountAt] = static_cast<uint8_t>(settings.keys.size());
    if (!oneUrl) block[kStampUrlCountAt] = static_cast<uint8_t>(1 + settings.fallbackUrls.size());
    std::memcpy(block + kStampUrlAt, text.data(), text.size());
    for (size_t i = 0; i < settings.keys.size(); ++i)
        std::memcpy(block + kStampKeysAt + i * 64, settings.keys[i].data(), 64);
    return true;
}

bool LocateStampBlock(const std::string& image, size_t& offset, std::string& error) {
    if (ChecksumFieldAt(image) == 0) {
        error = "not a Windows executable";
        return false;
    }
    const StampBlockSearch found = FindStampMagic(reinterpret_cast<const uint8_t*>(image.data()), image.size());
    if (found.count == 0) {
        error = "holds no stamp block (a patcher built before stamping existed, or another program)";
        return false;
    }
    if (found.count > 1) {
        error = "holds more than one stamp block; refusing to guess";
        return false;
    }
    const size_t first = found.first;
    StampSettings current;
    if (image.size() - first < kStampBlockSize ||
        !ReadStampBlock(reinterpret_cast<const uint8_t*>(image.data() + first), kStampBlockSize, current)) {
        error = "its stamp block has layout version " +
                (image.size() - first >= kStampMagicSize + 2 ? std::to_string(Get16(image, first + kStampVersionAt))
                                                             : std::string("?")) +
                " or is damaged; this tool reads versions " + std::to_string(kStampOneUrlLayout) + " and " +
                std::to_string(kStampLayoutVersion);
        return false;
    }
    offset = first;
    return true;
}

bool FindStampBlock(const std::string& image, size_t& offset, std::string& error) {
    if (!LocateStampBlock(image, offset, error)) return false;
    if (HasCertificateTable(image)) {
        error = "carries an Authenticode signature, which stamping would break: stamp the unsigned build, then sign";
        return false;
    }
    return true;
}

uint32_t PeChecksum(const std::string& image) {
    const size_t field = ChecksumFieldAt(image);
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == field || i == field + 2) continue;
        uint32_t word = static_cast<uint8_t>(image[i]);
        if (i + 1 < image.size()) word |= static_cast<uint32_t>(static_cast<uint8_t>(image[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

void UpdatePeChecksum(std::string& image) {
    const size_t field = ChecksumFieldAt(image);
    if (field == 0 || Get32(image, field) == 0) return;
    const uint32_t sum = PeChecksum(image);
    for (int i = 0; i < 4; ++i) image[field + i] = static_cast<char>(sum >> (8 * i));
}

std::string StampUrlProblem(const std::string& url) {
    size_t hostAt = 0;
    if (url.rfind("http://", 0) == 0) hostAt = 7;
    else if (url.rfind("https://", 0) == 0) hostAt = 8;
    else return "the address must begin with http:// or https://";
    if (!IsValidUtf8(url)) return "the address is not valid UTF-8";
    if (url.size() > kStampUrlCapacity) return "the address is longer than " + std::to_string(kStampUrlCapacity) + " bytes";
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f) return "the address holds a space or a control character";
    const size_t hostEnd = url.find_first_of("/?#", hostAt);
    const std::string host = url.substr(hostAt, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostAt);
    if (host.empty() || host[0] == ':' || host.find('@') != std::string::npos) return "the address names no host";
    if (host.size() > 255) return "the host name is longer than 255 characters";
    const size_t pathUnits = hostEnd == std::string::npos ? 1 : Utf16Length(url.substr(hostEnd));
    if (pathUnits + kAddedByFetches > kRequestPathLimit)
        return "its path and query are " + std::to_string(pathUnits) + " characters long; the patcher takes at most " +
               std::to_string(kRequestPathLimit - kAddedByFetches) + ", to leave room for the \"?t=\" query and \".sig\"";
    return {};
}
