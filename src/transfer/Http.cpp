#include "transfer/Http.h"

#include <vector>

#include "transfer/ServerFacts.h"
#include "transfer/WinHttpHandle.h"

namespace {
// A manifest is a few megabytes at most; a server streaming without end must not exhaust memory.
constexpr size_t kBodyCap = size_t(64) << 20;
}  // namespace

bool HttpGetToMemory(const std::wstring& requestUrl, std::string& body, std::wstring& failureText) {
    RequestTarget target;
    if (!SplitRequestUrl(requestUrl, target)) {
        failureText = L"URL ไม่ถูกต้อง: " + requestUrl;
        return false;
    }
    UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        failureText = L"เปิด WinHTTP session ไม่สำเร็จ";
        return false;
    }
    WinHttpSetTimeouts(session.get(), 10000, 10000, 15000, 15000);
    UniqueInternet connection(WinHttpConnect(session.get(), target.host, target.port, 0));
    if (!connection) {
        failureText = L"เชื่อมต่อเซิร์ฟเวอร์ไม่ได้";
        return false;
    }
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", target.path, nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, RequestFlags(target)));
    if (!request) {
        failureText = L"สร้าง HTTP request ไม่สำเร็จ";
        return false;
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        failureText = L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่สำเร็จ (ตรวจสอบอินเทอร์เน็ต)";
        return false;
    }
    const DWORD status = QueryStatus(request.get());
    if (status != 200) {
        failureText = L"เซิร์ฟเวอร์ตอบกลับ HTTP " + std::to_wstring(status);
        return false;
    }
    // Collected aside so that an oversized answer leaves the caller's body as it was.
    std::string received;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
        if (available > kBodyCap - received.size()) {
            failureText = L"ข้อมูลจากเซิร์ฟเวอร์มีขนาดใหญ่เกินกำหนด";
            return false;
        }
        std::vector<char> scratch(available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), scratch.data(), available, &read)) break;
        received.append(scratch.data(), read);
    }
    body.swap(received);
    return true;
}
