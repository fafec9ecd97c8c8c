#include "trust/ManifestSignature.h"

#include <windows.h>

#include "base/Settings.h"
#include "base/StatusBoard.h"
#include "trust/Expiry.h"
#include "trust/SignatureFile.h"
#include "digest/EcdsaP256.h"
#include "net/Http.h"
#include "digest/Sha256.h"

namespace {

constexpr wchar_t kUnusableHeadline[] = L"ข้อมูลแพตช์ไม่ถูกต้อง";
constexpr wchar_t kBadSignature[] =
    L"ลายเซ็นของไฟล์ manifest.json ไม่ถูกต้อง ไม่สามารถยืนยันได้ว่าข้อมูลแพตช์มาจากผู้ให้บริการเกม";
constexpr wchar_t kBadExpiry[] = L"ไม่สามารถอ่านไฟล์ manifest.json จากเซิร์ฟเวอร์ได้";
constexpr wchar_t kExpiredHeadline[] = L"ข้อมูลแพตช์หมดอายุ";
constexpr wchar_t kExpiredDetail[] =
    L"ข้อมูลแพตช์บนเซิร์ฟเวอร์หมดอายุแล้ว เซิร์ฟเวอร์อาจกำลังปรับปรุง กรุณาลองใหม่อีกครั้งภายหลัง";

bool Fail(const wchar_t* headline, const std::wstring& detail) {
    UpdateStatus(headline, detail, 0);
    return false;
}

int64_t UnixNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
}

const PublicKey* SignedByCarriedKey(const std::string& body, const ManifestSignature& signature) {
    for (const PublicKey& key : Settings().publicKeys) {
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

bool VerifyManifestSignature(HttpSession& session, const std::wstring& fetchUrl, const std::string& body,
                             std::optional<PublicKey>& signer) {
    signer.reset();
    if (Settings().publicKeys.empty()) return true;

    std::string signatureBytes;
    std::wstring failureText;
    // Anything longer than a signature file can be is refused without reading it all.
    if (!HttpGetToMemory(session, SignatureFetchUrl(fetchUrl), signatureBytes, failureText, kSignatureFileLimit + 1))
        return Fail(kUnusableHeadline, L"ดึงลายเซ็นของไฟล์ manifest.json จากเซิร์ฟเวอร์ไม่สำเร็จ (" + failureText + L")");
    ManifestSignature signature;
    const PublicKey* key = ParseSignatureFile(signatureBytes, signature) ? SignedByCarriedKey(body, signature) : nullptr;
    if (!key) return Fail(kUnusableHeadline, kBadSignature);

    int64_t expires = 0;
    switch (ReadManifestExpiry(body, expires)) {
        case ExpiryRead::Malformed: return Fail(kUnusableHeadline, kBadExpiry);
        case ExpiryRead::Present:
            if (UnixNow() >= expires) return Fail(kExpiredHeadline, kExpiredDetail);
            break;
        case ExpiryRead::Absent: break;
    }
    signer = *key;
    return true;
}
