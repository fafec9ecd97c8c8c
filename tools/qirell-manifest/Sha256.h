#pragma once
// The tool's view of the shared streaming SHA-256: lower-case hexadecimal out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "digest/Sha256Core.h"
#include "text/Hex.h"

struct ToolSha256 {
    Sha256State state;
};

void Sha256Begin(ToolSha256& h);
void Sha256Add(ToolSha256& h, const void* data, size_t length);
// 64 lower-case hexadecimal characters.
std::string Sha256FinishHex(ToolSha256& h);
// The same for bytes at hand.
std::string Sha256Hex(const std::string& bytes);
