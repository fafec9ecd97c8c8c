#pragma once
// Streaming SHA-256 for the tool, the same on Linux and Windows.
#include <cstddef>
#include <cstdint>
#include <string>

struct ToolSha256 {
    uint32_t state[8];
    uint8_t block[64];
    size_t blockUsed = 0;
    uint64_t totalBytes = 0;
};

void Sha256Begin(ToolSha256& h);
void Sha256Add(ToolSha256& h, const void* data, size_t length);
// 64 lower-case hexadecimal characters.
std::string Sha256FinishHex(ToolSha256& h);
