#pragma once
// The program's SHA-256: one streaming digest for files on disk and downloads alike.
#include <cstddef>
#include <cstdint>
#include <string>

#include "digest/BCryptHandle.h"
#include "digest/Sha256Core.h"
#include "text/Hex.h"

// Where the digest is computed: the processor's SHA instructions when it has them, else CNG.
enum class DigestBackend { ShaExtensions, Cng };
DigestBackend ActiveDigestBackend();
// For tests and measurements (it selects the core's engine too); asking for ShaExtensions without them
// keeps Cng. Returns the backend now used.
DigestBackend SelectDigestBackend(DigestBackend backend);

struct Sha256Stream {
    DigestBackend backend = DigestBackend::Cng;
    Sha256State state{};
    UniqueAlg provider;
    UniqueHash hash;
    bool failed = false;
};

// Begins with the active backend; false (and failed set) when CNG could not be opened.
bool Sha256Begin(Sha256Stream& s);
void Sha256Add(Sha256Stream& s, const void* data, size_t count);
// False when any step failed; releases the CNG handles either way.
bool Sha256Finish(Sha256Stream& s, uint8_t digest[32]);

// Size and digest of a whole file, read through the handle it opens; false when it can't be read.
bool HashFileSha256(const std::wstring& filePath, uint64_t& fileSize, std::string& hexDigest);
