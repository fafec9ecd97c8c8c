// The Windows build: keys made, signatures made and checked with CNG, public keys read with CryptoAPI.
// Key files are the same PEM forms the Linux build writes: PKCS#8 for the private key (with its
// public point, as libcrypto writes it) and SubjectPublicKeyInfo for the public one.
#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "Keys.h"
#include "digest/BCryptHandle.h"
#include "digest/EcdsaP256.h"
#include "digest/Sha256Core.h"

namespace {

constexpr uint8_t kP256Oid[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
// PKCS#8 of a P-256 key: these 36 bytes, the 32-byte private scalar, kPrivateMiddle, then X || Y.
constexpr uint8_t kPrivatePrefix[] = {0x30, 0x81, 0x87, 0x02, 0x01, 0x00, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86,
                                      0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d,
                                      0x03, 0x01, 0x07, 0x04, 0x6d, 0x30, 0x6b, 0x02, 0x01, 0x01, 0x04, 0x20};
constexpr uint8_t kPrivateMiddle[] = {0xa1, 0x44, 0x03, 0x42, 0x00, 0x04};
// SubjectPublicKeyInfo of a P-256 key: these 27 bytes, then X || Y.
constexpr uint8_t kPublicPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
                                     0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr size_t kPrivateDerSize = sizeof kPrivatePrefix + 32 + sizeof kPrivateMiddle + 64;

std::string Pem(const char* label, const std::string& der) {
    DWORD size = 0;
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCR;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(der.data());
    if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(der.size()), flags, nullptr, &size)) return {};
    std::string base64(size, '\0');
    if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(der.size()), flags, base64.data(), &size)) return {};
    base64.resize(size);
    return std::string("-----BEGIN ") + label + "-----\n" + base64 + "-----END " + label + "-----\n";
}

bool PemToDer(const std::string& text, const char* label, std::string& der) {
    if (text.find(std::string("-----BEGIN ") + label + "-----") == std::string::npos) return false;
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr))
        return false;
    der.assign(size, '\0');
    return CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                                reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr) != 0;
}

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { LocalFree(h); }
};
using UniqueLocal = Unique<LocalMemoryTraits>;

// A security descriptor whose only entry gives the current user full access, inherited from nowhere;
// empty when it cannot be made (the file then gets its folder's inherited access).
UniqueLocal OwnerOnlyDescriptor() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    LPWSTR sidText = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sidText)) return {};
    UniqueLocal sid(sidText);
    const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;") + sidText + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return {};
    return UniqueLocal(descriptor);
}

// Created new (an existing file is never opened, so never overwritten), the private key with an
// owner-only access list; a failed write removes what it created.
bool WriteNewFile(const fs::path& file, const std::string& text, bool ownerOnly, std::string& error) {
    UniqueLocal descriptor = ownerOnly ? OwnerOnlyDescriptor() : UniqueLocal();
    if (ownerOnly && !descriptor)
        std::fprintf(stderr, "qirell-manifest: warning: %s gets its folder's access rights (no owner-only list could be made)\n",
                     PathToUtf8(file).c_str());
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    UniqueFile out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, descriptor ? &attributes : nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        error = PathToUtf8(file) + ": cannot be created (it must not exist yet)";
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && FlushFileBuffers(out.get());
    out.reset();
    if (ok) return true;
    DeleteFileW(file.c_str());
    error = PathToUtf8(file) + ": cannot be written";
    return false;
}

// The PKCS#8 bytes of a private key file as keygen writes it.
bool ReadPrivateDer(const fs::path& privateFile, std::string& der, std::string& error) {
    std::string text;
    if (!ReadWholeFile(privateFile, text)) {
        error = PathToUtf8(privateFile) + ": cannot be read";
        return false;
    }
    if (!PemToDer(text, "PRIVATE KEY", der) || der.size() != kPrivateDerSize ||
        std::memcmp(der.data(), kPrivatePrefix, sizeof kPrivatePrefix) != 0 ||
        std::memcmp(der.data() + sizeof kPrivatePrefix + 32, kPrivateMiddle, sizeof kPrivateMiddle) != 0) {
        error = PathToUtf8(privateFile) + ": not a PEM ECDSA P-256 private key as keygen writes it";
        return false;
    }
    return true;
}

}  // namespace

bool GenerateKeyPair(const fs::path& privateFile, const fs::path& publicFile, std::string& publicPem,
                     std::string& error) {
    if (!KeyFilesAreNew(privateFile, publicFile, error)) return false;
    UniqueAlg provider;
    UniqueKey key;
    // BCRYPT_ECCKEY_BLOB, then X, Y and the private scalar d, 32 bytes each.
    uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
    ULONG exported = 0;
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0 ||
        BCryptGenerateKeyPair(provider.get(), key.put(), 256, 0) != 0 || BCryptFinalizeKeyPair(key.get(), 0) != 0 ||
        BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &exported, 0) != 0 ||
        exported != sizeof blob) {
        error = "the key pair could not be generated";
        return false;
    }
    const char* point = reinterpret_cast<const char*>(blob + sizeof(BCRYPT_ECCKEY_BLOB));
    std::string privateDer(reinterpret_cast<const char*>(kPrivatePrefix), sizeof kPrivatePrefix);
    privateDer.append(point + 64, 32);
    privateDer.append(reinterpret_cast<const char*>(kPrivateMiddle), sizeof kPrivateMiddle);
    privateDer.append(point, 64);
    std::string publicDer(reinterpret_cast<const char*>(kPublicPrefix), sizeof kPublicPrefix);
    publicDer.append(point, 64);
    SecureZeroMemory(blob, sizeof blob);
    const std::string privatePem = Pem("PRIVATE KEY", privateDer);
    SecureZeroMemory(privateDer.data(), privateDer.size());
    publicPem = Pem("PUBLIC KEY", publicDer);
    if (privatePem.empty() || publicPem.empty()) {
        error = "the key pair could not be written out";
        return false;
    }
    if (!WriteNewFile(privateFile, privatePem, true, error)) return false;
    if (WriteNewFile(publicFile, publicPem, false, error)) return true;
    // Half a pair would only block the next keygen.
    DeleteFileW(privateFile.c_str());
    return false;
}

bool SignMessage(const fs::path& privateFile, const std::string& message, ManifestSignature& signature,
                 std::string& error) {
    std::string der;
    if (!ReadPrivateDer(privateFile, der, error)) return false;
    const char* scalar = der.data() + sizeof kPrivatePrefix;
    const char* point = scalar + 32 + sizeof kPrivateMiddle;
    uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, point, 64);
    std::memcpy(blob + sizeof header + 64, scalar, 32);
    UniqueAlg provider;
    UniqueKey key;
    uint8_t digest[32];
    Sha256Of(message.data(), message.size(), digest);
    ULONG written = 0;
    const bool ok =
        BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
        BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, key.put(), blob, sizeof blob, 0) == 0 &&
        BCryptSignHash(key.get(), nullptr, digest, 32, signature.rs.data(), 64, &written, 0) == 0 && written == 64;
    PublicKey pub;
    std::memcpy(pub.data(), point, 64);
    SecureZeroMemory(blob, sizeof blob);
    SecureZeroMemory(der.data(), der.size());
    if (!ok) {
        error = PathToUtf8(privateFile) + ": signing failed";
        return false;
    }
    signature.keyId = KeyIdOf(pub);
    return true;
}

bool ReadPublicKeyFile(const fs::path& file, PublicKey& key, std::string& error) {
    std::string text;
    if (!ReadWholeFile(file, text)) {
        error = PathToUtf8(file) + ": cannot be read";
        return false;
    }
    if (text.find("PRIVATE KEY-----") != std::string::npos) {
        error = PathToUtf8(file) + ": is a private key; give its public half (the .pub file)";
        return false;
    }
    error = PathToUtf8(file) + ": not a PEM ECDSA P-256 public key";
    DWORD derSize = 0;
    if (text.find("-----BEGIN PUBLIC KEY-----") == std::string::npos ||
        !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &derSize, nullptr, nullptr))
        return false;
    std::string der(derSize, '\0');
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE*>(der.data()), &derSize, nullptr, nullptr))
        return false;
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD infoSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, reinterpret_cast<const BYTE*>(der.data()),
                             derSize, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &infoSize))
        return false;
    const bool p256 = std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) == 0 &&
                      info->Algorithm.Parameters.cbData == sizeof kP256Oid &&
                      std::memcmp(info->Algorithm.Parameters.pbData, kP256Oid, sizeof kP256Oid) == 0 &&
                      info->PublicKey.cbData == 65 && info->PublicKey.pbData[0] == 4;
    if (p256) std::memcpy(key.data(), info->PublicKey.pbData + 1, 64);
    LocalFree(info);
    if (!p256 || !IsEcdsaP256Key(key)) return false;
    error.clear();
    return true;
}

bool ReadPublicHalf(const fs::path& privateFile, PublicKey& key, std::string& error) {
    std::string der;
    if (!ReadPrivateDer(privateFile, der, error)) return false;
    std::memcpy(key.data(), der.data() + kPrivateDerSize - 64, 64);
    SecureZeroMemory(der.data(), der.size());
    return true;
}

bool VerifyMessage(const PublicKey& key, const std::string& message, const std::array<uint8_t, 64>& rs) {
    uint8_t digest[32];
    Sha256Of(message.data(), message.size(), digest);
    return VerifyEcdsaP256(key, digest, rs.data());
}
