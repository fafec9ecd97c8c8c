#include "Sha256.h"

void Sha256Begin(ToolSha256& h) { Sha256Init(h.state); }

void Sha256Add(ToolSha256& h, const void* data, size_t length) { Sha256Update(h.state, data, length); }

std::string Sha256FinishHex(ToolSha256& h) {
    uint8_t digest[32];
    Sha256Final(h.state, digest);
    return HexLower(digest, sizeof digest);
}

std::string Sha256Hex(const std::string& bytes) {
    uint8_t digest[32];
    Sha256Of(bytes.data(), bytes.size(), digest);
    return HexLower(digest, sizeof digest);
}
