#pragma once
// ECDSA P-256 keys and signatures for the tool: OpenSSL's libcrypto on Linux, CNG on Windows.
#include <string>

#include "Tool.h"
#include "trust/StampBlock.h"
#include "trust/SignatureFile.h"

// Private key (PKCS#8 PEM, owner-only) to privateFile, public key (SubjectPublicKeyInfo PEM) to
// publicFile and publicPem. Neither file may exist yet.
bool GenerateKeyPair(const fs::path& privateFile, const fs::path& publicFile, std::string& publicPem,
                     std::string& error);
// False with the reason when either file exists already (Sign.cpp).
bool KeyFilesAreNew(const fs::path& privateFile, const fs::path& publicFile, std::string& error);
// A P-256 public key from a PEM file; a private key file is refused.
bool ReadPublicKeyFile(const fs::path& file, PublicKey& key, std::string& error);
// Signs SHA-256 of message; the signature names the key by its public half's id.
bool SignMessage(const fs::path& privateFile, const std::string& message, ManifestSignature& signature,
                 std::string& error);
// The id of a private key file's public half (the id its signatures carry).
bool SigningKeyId(const std::string& keyFile, KeyId& id, std::string& error);
// The public half that a private key file carries: the key its signatures name.
bool ReadPublicHalf(const fs::path& privateFile, PublicKey& key, std::string& error);
bool VerifyMessage(const PublicKey& key, const std::string& message, const std::array<uint8_t, 64>& rs);
// The key id as the signature file and keygen write it: 16 lower-case hexadecimal digits.
std::string KeyIdHex(const KeyId& id);
// A signature of manifest bytes that are to be published in outDir, checked as SignPublishedManifest
// checks it (Sign.cpp); nothing written.
bool SignManifestBytes(const fs::path& outDir, const std::string& keyFile, const std::string& bytes,
                       ManifestSignature& signature, std::string& error);
