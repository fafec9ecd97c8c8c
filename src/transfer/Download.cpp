#include "transfer/Download.h"

#include <vector>

#include "base/StatusBoard.h"
#include "transfer/ServerFacts.h"
#include "transfer/Sha256.h"
#include "transfer/SizeText.h"
#include "transfer/WinHttpHandle.h"

namespace {

constexpr DWORD kReadBuffer = 65536;

struct Job {
    const std::wstring& displayName;
    uint64_t expectedSize;
    const std::string& expectedSha256;
    uint64_t& bytesDone;
    uint64_t bytesTotal;
    std::wstring& failureText;
};

void Publish(const Job& job, uint64_t received) {
    const uint64_t progress = job.bytesTotal == 0 ? 1000 : job.bytesDone * 1000 / job.bytesTotal;
    UpdateStatus(L"กำลังดาวน์โหลดอัปเดต...",
                 L"กำลังดาวน์โหลด " + job.displayName + L" (" + FormatSize(received) + L" / " +
                     FormatSize(job.expectedSize) + L")",
                 static_cast<int>(static_cast<uint32_t>(progress)));
}

// Send, status, body into the side file with its digest, and the checks; true when verified.
bool ReceiveVerified(HINTERNET request, HANDLE sideFile, const Job& job) {
    Sha256Stream digest;
    Sha256Begin(digest);
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        job.failureText = L"การเชื่อมต่อขาดหายขณะดาวน์โหลด " + job.displayName;
        return false;
    }
    const DWORD status = QueryStatus(request);
    if (status != 200) {
        job.failureText = L"ดาวน์โหลด " + job.displayName + L" ไม่สำเร็จ (HTTP " + std::to_wstring(status) + L")";
        return false;
    }
    const std::wstring sizeText = L"ขนาดไฟล์ที่ดาวน์โหลดไม่ตรง (" + job.displayName + L")";
    std::vector<uint8_t> buffer(kReadBuffer);
    uint64_t received = 0;
    DWORD lastPublish = 0;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), kReadBuffer, &read) || read == 0) break;
        // A server sending more than announced must not fill the disk: stop before writing past the size.
        if (read > job.expectedSize - received) {
            job.failureText = sizeText;
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(sideFile, buffer.data(), read, &written, nullptr) || written != read) {
            job.failureText = L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): " + job.displayName;
            return false;
        }
        Sha256Add(digest, buffer.data(), read);
        received += read;
        job.bytesDone += read;
        const DWORD now = GetTickCount();
        if (now - lastPublish >= 40 || received == job.expectedSize) {
            lastPublish = now;
            Publish(job, received);
        }
    }
    uint8_t bytes[32];
    if (!Sha256Finish(digest, bytes)) {
        job.failureText = L"คำนวณ SHA-256 ไม่สำเร็จ";
        return false;
    }
    if (received != job.expectedSize) {
        job.failureText = sizeText;
        return false;
    }
    if (HexLower(bytes, sizeof bytes) != job.expectedSha256) {
        job.failureText = L"ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: " + job.displayName;
        return false;
    }
    return true;
}

}  // namespace

bool DownloadVerifiedFile(const std::wstring& fileUrl, const std::wstring& tempPath,
                          const std::wstring& displayName, uint64_t expectedSize,
                          const std::string& expectedSha256, uint64_t& bytesDone, uint64_t bytesTotal,
                          std::wstring& failureText) {
    RequestTarget target;
    if (!SplitRequestUrl(fileUrl, target)) {
        failureText = L"URL ไฟล์ไม่ถูกต้อง: " + displayName;
        return false;
    }
    UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        failureText = L"เปิด WinHTTP ไม่สำเร็จ";
        return false;
    }
    WinHttpSetTimeouts(session.get(), 10000, 15000, 30000, 60000);
    UniqueInternet connection(WinHttpConnect(session.get(), target.host, target.port, 0));
    if (!connection) {
        failureText = L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่ได้";
        return false;
    }
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", target.path, nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, RequestFlags(target)));
    if (!request) {
        failureText = L"สร้างคำขอดาวน์โหลดไม่สำเร็จ";
        return false;
    }
    UniqueFile sideFile(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
    if (!sideFile) {
        failureText = L"สร้างไฟล์ชั่วคราวไม่ได้: " + tempPath;
        return false;
    }
    const Job job{displayName, expectedSize, expectedSha256, bytesDone, bytesTotal, failureText};
    const bool verified = ReceiveVerified(request.get(), sideFile.get(), job);
    sideFile.reset();
    if (!verified) DeleteFileW(tempPath.c_str());
    return verified;
}
