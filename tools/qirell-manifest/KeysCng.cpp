// The Windows build: public keys read with CryptoAPI and signatures checked with CNG. Making keys and
// signing stay with the Linux build, so a private key never needs a second format.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "Keys.h"
#include "transfer/EcdsaP256.h"
#include "transfer/Sha256Core.h"

namespace {

constexpr uint8_t kP256Oid[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

}  // namespace

bool GenerateKeyPair(const fs::path&, const fs::path&, std::string&, std::string& error) {
    error = "keygen needs the Linux build of qirell-manifest; this build stamps and verifies";
    return false;
}

bool SignMessage(const fs::path&, const std::string&, ManifestSignature&, std::string& error) {
    error = "signing needs the Linux build of qirell-manifest; this build stamps and verifies";
    return false;
}

bool ReadPublicKeyFile(const fs::path& file, PublicKey& key, std::string& error) {
    std::string text;
    if (!ReadWholeFile(file, text)) {
        error = PathToUtf8(file) + ": cannot be read";
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

bool VerifyMessage(const PublicKey& key, const std::string& message, const std::array<uint8_t, 64>& rs) {
    Sha256State state;
    Sha256Init(state);
    Sha256Update(state, message.data(), message.size());
    uint8_t digest[32];
    Sha256Final(state, digest);
    return VerifyEcdsaP256(key, digest, rs.data());
}
