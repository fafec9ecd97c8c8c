#include "Sha256.h"

void Sha256Begin(ToolSha256& h) { Sha256Init(h.state); }

void Sha256Add(ToolSha256& h, const void* data, size_t length) { Sha256Update(h.state, data, length); }

std::string Sha256FinishHex(ToolSha256& h) {
    uint8_t digest[32];
    Sha256Final(h.state, digest);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 0xf];
    }
    return hex;
}
