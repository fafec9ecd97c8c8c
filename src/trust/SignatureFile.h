#pragma once
// The detached signature published beside manifest.json as manifest.json.sig: three ASCII lines,
//   qirell-signature 1
//   key <16 hex digits: the first 8 bytes of SHA-256 over the signer's public key X || Y>
//   ecdsa-p256-sha256 <128 hex digits: r || s, 32 bytes each, big-endian>
// each ended by "\n" (a "\r" before it is allowed), lower-case hexadecimal, nothing after the last.
// The signature covers the exact bytes of manifest.json, hashed with SHA-256.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "trust/StampBlock.h"

using KeyId = std::array<uint8_t, 8>;

struct ManifestSignature {
    KeyId keyId{};
    std::array<uint8_t, 64> rs{};
};

// Longest file the reader looks at; anything longer is refused unread.
constexpr size_t kSignatureFileLimit = 512;

KeyId KeyIdOf(const PublicKey& key);
bool ParseSignatureFile(std::string_view bytes, ManifestSignature& out);
std::string SignatureFileText(const ManifestSignature& signature);

// The signature's address: ".sig" after the path of the manifest's fetch address, before its query.
std::wstring SignatureFetchUrl(const std::wstring& manifestFetchUrl);
