#pragma once
// The tool's view of the shared streaming SHA-256: lower-case hexadecimal out.
#include <cstddef>
#include <string>

#include "transfer/Sha256Core.h"

struct ToolSha256 {
    Sha256State state;
};

void Sha256Begin(ToolSha256& h);
void Sha256Add(ToolSha256& h, const void* data, size_t length);
// 64 lower-case hexadecimal characters.
std::string Sha256FinishHex(ToolSha256& h);
