#include "digest/EcdsaP256.h"

#include <cstring>

#include "digest/BCryptHandle.h"

namespace {

bool ImportKey(const PublicKey& key, UniqueAlg& provider, UniqueKey& handle) {
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return false;
    uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, key.data(), key.size());
    return BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, handle.put(), blob, sizeof blob, 0) == 0;
}

}  // namespace

bool VerifyEcdsaP256(const PublicKey& key, const uint8_t digest[32], const uint8_t rs[64]) {
    UniqueAlg provider;
    UniqueKey handle;
    if (!ImportKey(key, provider, handle)) return false;
    return BCryptVerifySignature(handle.get(), nullptr, const_cast<PUCHAR>(digest), 32, const_cast<PUCHAR>(rs), 64,
                                 0) == 0;
}

bool IsEcdsaP256Key(const PublicKey& key) {
    UniqueAlg provider;
    UniqueKey handle;
    return ImportKey(key, provider, handle);
}
