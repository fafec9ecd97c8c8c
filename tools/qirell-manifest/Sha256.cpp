#include "Sha256.h"

void Sha256Begin(ToolSha256& h) { Sha256Init(h.state); }

void Sha256Add(ToolSha256& h, const void* data, size_t length) { Sha256Update(h.state, data, length); }

std::string HexBytes(const uint8_t* bytes, size_t count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 0xf];
    }
    return hex;
}

std::string Sha256FinishHex(ToolSha256& h) {
    uint8_t digest[32];
    Sha256Final(h.state, digest);
    return HexBytes(digest, sizeof digest);
}
