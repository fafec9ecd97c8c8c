#pragma once
// The tool's view of the shared streaming SHA-256: lower-case hexadecimal out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "digest/Sha256Core.h"

struct ToolSha256 {
    Sha256State state;
};

void Sha256Begin(ToolSha256& h);
void Sha256Add(ToolSha256& h, const void* data, size_t length);
// Lower-case hexadecimal, two characters a byte.
std::string HexBytes(const uint8_t* bytes, size_t count);
// 64 lower-case hexadecimal characters.
std::string Sha256FinishHex(ToolSha256& h);
