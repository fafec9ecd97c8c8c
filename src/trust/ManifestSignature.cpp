#include "trust/ManifestSignature.h"

#include <windows.h>

#include "trust/Expiry.h"
#include "trust/SignatureFile.h"
#include "digest/EcdsaP256.h"
#include "net/Http.h"
#include "digest/Sha256.h"

namespace {

int64_t UnixNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
}

const PublicKey* SignedByCarriedKey(const std::vector<PublicKey>& keys, const std::string& body,
                                    const ManifestSignature& signature) {
    for (const PublicKey& key : keys) {
        if (KeyIdOf(key) != signature.keyId) continue;
        Sha256Stream stream;
        uint8_t digest[32];
        if (!Sha256Begin(stream)) return nullptr;
        Sha256Add(stream, body.data(), body.size());
        if (!Sha256Finish(stream, digest)) return nullptr;
        return VerifyEcdsaP256(key, digest, signature.rs.data()) ? &key : nullptr;
    }
    return nullptr;
}

}  // namespace

SignatureError VerifyManifestSignature(HttpSession& session, const std::vector<PublicKey>& keys,
                                       const std::wstring& fetchUrl, const std::string& body,
                                       std::optional<PublicKey>& signer, GetResult& fetch) {
    signer.reset();
    if (keys.empty()) return SignatureError::None;

    std::string signatureBytes;
    // Anything longer than a signature file can be is refused without reading it all.
    fetch = HttpGetToMemory(session, SignatureFetchUrl(fetchUrl), signatureBytes, kSignatureFileLimit + 1);
    if (!fetch.ok()) return SignatureError::Unreachable;
    ManifestSignature signature;
    const PublicKey* key =
        ParseSignatureFile(signatureBytes, signature) ? SignedByCarriedKey(keys, body, signature) : nullptr;
    if (!key) return SignatureError::BadSignature;

    int64_t expires = 0;
    switch (ReadManifestExpiry(body, expires)) {
        case ExpiryRead::Malformed: return SignatureError::BadExpiry;
        case ExpiryRead::Present:
            if (UnixNow() >= expires) return SignatureError::Expired;
            break;
        case ExpiryRead::Absent: break;
    }
    signer = *key;
    return SignatureError::None;
}
