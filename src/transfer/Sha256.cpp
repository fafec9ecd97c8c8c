#include "transfer/Sha256.h"

#include <vector>

#include "transfer/BCryptHandle.h"
#include "transfer/Sha256Core.h"

namespace {
constexpr DWORD kReadBuffer = 65536;

// The bytes of the file up to its end or the first failed read; false only when the digest failed.
bool DigestWithCng(HANDLE file, uint8_t digest[32]) {
    UniqueAlg provider;
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return false;
    UniqueHash hash;
    if (BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, nullptr, 0, 0) < 0) return false;
    bool ok = true;
    {
        std::vector<UCHAR> buffer(kReadBuffer);
        DWORD read = 0;
        while (ReadFile(file, buffer.data(), kReadBuffer, &read, nullptr) && read != 0) {
            if (BCryptHashData(hash.get(), buffer.data(), read, 0) < 0) {
                ok = false;
                break;
            }
        }
        if (ok) ok = BCryptFinishHash(hash.get(), digest, 32, 0) >= 0;
        hash.reset();
    }
    provider.reset();
    return ok;
}

void DigestWithCore(HANDLE file, uint8_t digest[32]) {
    Sha256State state;
    Sha256Init(state);
    std::vector<uint8_t> buffer(kReadBuffer);
    DWORD read = 0;
    while (ReadFile(file, buffer.data(), kReadBuffer, &read, nullptr) && read != 0) Sha256Update(state, buffer.data(), read);
    Sha256Final(state, digest);
}

}  // namespace

bool HashFileSha256(const std::wstring& filePath, uint64_t& fileSize, std::string& hexDigest) {
    UniqueFile file(CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return false;
    fileSize = static_cast<uint64_t>(size.QuadPart);
    uint8_t digest[32];
    if (Sha256ActiveEngine() == Sha256Engine::ShaExtensions) {
        DigestWithCore(file.get(), digest);
    } else if (!DigestWithCng(file.get(), digest)) {
        return false;
    }
    hexDigest = HexLower(digest, sizeof digest);
    return true;
}

std::string HexLower(const uint8_t* bytes, size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(count * 2, '\0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    return text;
}
