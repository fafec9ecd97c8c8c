#include "digest/Sha256.h"

#include "digest/FileHash.h"

// The SHA instructions are the core's fast engine; a processor without them hashes through CNG, so
// the two choices are one.
DigestBackend ActiveDigestBackend() {
    return Sha256ActiveEngine() == Sha256Engine::ShaExtensions ? DigestBackend::ShaExtensions : DigestBackend::Cng;
}

DigestBackend SelectDigestBackend(DigestBackend backend) {
    Sha256SelectEngine(backend == DigestBackend::ShaExtensions ? Sha256Engine::ShaExtensions : Sha256Engine::Portable);
    return ActiveDigestBackend();
}

bool Sha256Begin(Sha256Stream& s) {
    s.backend = ActiveDigestBackend();
    s.failed = false;
    s.hash.reset();
    s.provider.reset();
    if (s.backend == DigestBackend::ShaExtensions) {
        Sha256Init(s.state);
        return true;
    }
    if (BCryptOpenAlgorithmProvider(s.provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0 ||
        BCryptCreateHash(s.provider.get(), s.hash.put(), nullptr, 0, nullptr, 0, 0) < 0)
        s.failed = true;
    return !s.failed;
}

void Sha256Add(Sha256Stream& s, const void* data, size_t count) {
    if (s.failed) return;
    if (s.backend == DigestBackend::ShaExtensions) {
        Sha256Update(s.state, data, count);
        return;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (count) {
        const ULONG step = count > 0x40000000 ? 0x40000000 : static_cast<ULONG>(count);
        if (BCryptHashData(s.hash.get(), const_cast<PUCHAR>(p), step, 0) < 0) {
            s.failed = true;
            return;
        }
        p += step;
        count -= step;
    }
}

bool Sha256Finish(Sha256Stream& s, uint8_t digest[32]) {
    if (s.backend == DigestBackend::ShaExtensions) {
        if (!s.failed) Sha256Final(s.state, digest);
        return !s.failed;
    }
    if (!s.failed && BCryptFinishHash(s.hash.get(), digest, 32, 0) < 0) s.failed = true;
    // The hash object belongs to the provider: released first.
    s.hash.reset();
    s.provider.reset();
    return !s.failed;
}

bool HashFileSha256(const std::wstring& filePath, uint64_t& fileSize, std::string& hexDigest) {
    FileHashScratch scratch;
    uint8_t digest[32];
    if (DigestFile(scratch, filePath, nullptr, fileSize, digest) != FileDigest::Digested) return false;
    hexDigest = HexLower(digest, sizeof digest);
    return true;
}
