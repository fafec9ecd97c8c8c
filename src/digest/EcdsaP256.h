#pragma once
// ECDSA P-256 verification through CNG.
#include <cstdint>

#include "digest/PublicKey.h"

// digest: SHA-256 of the signed bytes; rs: r || s, big-endian. False also when the key is not a curve point.
bool VerifyEcdsaP256(const PublicKey& key, const uint8_t digest[32], const uint8_t rs[64]);
// Whether CNG takes the point as a P-256 public key.
bool IsEcdsaP256Key(const PublicKey& key);
