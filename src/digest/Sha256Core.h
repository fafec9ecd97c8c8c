#pragma once
// Streaming SHA-256 without any platform header: portable code, and the processor's SHA extensions.
#include <cstddef>
#include <cstdint>

struct Sha256State {
    uint32_t h[8];
    uint64_t length;  // bytes fed so far
    uint8_t block[64];
    size_t used;      // bytes waiting in block
};

void Sha256Init(Sha256State& s);
void Sha256Update(Sha256State& s, const void* data, size_t count);
void Sha256Final(Sha256State& s, uint8_t digest[32]);
// The digest of count bytes at once.
void Sha256Of(const void* data, size_t count, uint8_t digest[32]);

enum class Sha256Engine { Portable, ShaExtensions };
// The engine every later Sha256Update uses; the SHA extensions when the processor has them.
Sha256Engine Sha256ActiveEngine();
// For tests and measurements: Portable forces the portable code. Asking for ShaExtensions on a
// processor without them keeps Portable; returns the engine now active.
Sha256Engine Sha256SelectEngine(Sha256Engine engine);
