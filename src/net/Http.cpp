#include "net/Http.h"

#include <vector>

#include "text/Text.h"
#include "net/RangeRules.h"
#include "net/ServerFacts.h"

namespace {
constexpr DWORD kRangeBuffer = 65536;
}  // namespace

std::atomic<unsigned> gHttpSessionsOpened{0};

bool OpenHttpSession(HttpSession& session, std::wstring& failureText) {
    session.handle.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.handle) {
        failureText = L"เปิด WinHTTP session ไม่สำเร็จ";
        return false;
    }
    ++gHttpSessionsOpened;
    return true;
}

bool HttpGetToMemory(HttpSession& session, const std::wstring& requestUrl, std::string& body,
                     std::wstring& failureText, size_t bodyCap) {
    GetRequest get;
    switch (PrepareGet(session.handle.get(), requestUrl, kManifestTimeouts, get)) {
    case PrepareStep::Url: failureText = L"URL ไม่ถูกต้อง: " + requestUrl; return false;
    case PrepareStep::Connect: failureText = L"เชื่อมต่อเซิร์ฟเวอร์ไม่ได้"; return false;
    case PrepareStep::Request: failureText = L"สร้าง HTTP request ไม่สำเร็จ"; return false;
    case PrepareStep::Done: break;
    }
    HINTERNET request = get.request.get();
    const wchar_t* const connectionLost = L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่สำเร็จ (ตรวจสอบอินเทอร์เน็ต)";
    if (!SendGet(request)) {
        failureText = connectionLost;
        return false;
    }
    const DWORD status = QueryStatus(request);
    if (status != 200) {
        failureText = L"เซิร์ฟเวอร์ตอบกลับ HTTP " + std::to_wstring(status);
        return false;
    }
    // A body cut short is a lost connection: nothing of it may reach the caller as if it were whole.
    uint64_t announced = 0;
    const bool sized = ParseContentLength(QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH), announced);
    // Collected aside so that an oversized or broken answer leaves the caller's body as it was.
    std::string received;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            failureText = connectionLost;
            return false;
        }
        if (available == 0) break;
        if (available > bodyCap - received.size()) {
            failureText = L"ข้อมูลจากเซิร์ฟเวอร์มีขนาดใหญ่เกินกำหนด";
            return false;
        }
        std::vector<char> scratch(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, scratch.data(), available, &read)) {
            failureText = connectionLost;
            return false;
        }
        received.append(scratch.data(), read);
    }
    if (sized && announced != received.size()) {
        failureText = connectionLost;
        return false;
    }
    body.swap(received);
    return true;
}

bool HttpGetToMemory(const std::wstring& requestUrl, std::string& body, std::wstring& failureText) {
    RequestTarget target;
    if (!SplitRequestUrl(requestUrl, target)) {
        failureText = L"URL ไม่ถูกต้อง: " + requestUrl;
        return false;
    }
    HttpSession session;
    if (!OpenHttpSession(session, failureText)) return false;
    return HttpGetToMemory(session, requestUrl, body, failureText);
}

RangeStart StartRangedGet(HINTERNET request, uint64_t first, uint64_t last, uint64_t fileSize, DWORD& status,
                          const std::string& ifRange) {
    const bool ranged = first > 0 || last != kOpenEnd;
    status = 0;
    std::string headers;
    if (ranged) headers = RangeHeaderLine(first, last) + (ifRange.empty() ? "" : "\r\nIf-Range: " + ifRange);
    if (!SendGet(request, Utf8ToWide(headers))) return RangeStart::Unsent;
    status = QueryStatus(request);
    if (ranged && status == 206) {
        ContentRange answer;
        return ParseContentRange(QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE), answer) &&
                       RangeAnswers(answer, first, last, fileSize)
                   ? RangeStart::Part
                   : RangeStart::BadRange;
    }
    return status == 200 ? RangeStart::Whole : RangeStart::Refused;
}

bool HttpGetRange(HttpSession& session, const std::wstring& url, uint64_t first, uint64_t last, uint64_t fileSize,
                  ByteSink sink, void* context) {
    GetRequest get;
    if (last < first || last == kOpenEnd ||
        PrepareGet(session.handle.get(), url, kFileTimeouts, get) != PrepareStep::Done)
        return false;
    HINTERNET request = get.request.get();
    DWORD status = 0;
    if (StartRangedGet(request, first, last, fileSize, status) != RangeStart::Part) return false;
    const uint64_t wanted = last - first + 1;
    uint64_t received = 0;
    std::vector<uint8_t> buffer(kRangeBuffer);
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), kRangeBuffer, &read) || read == 0) break;
        if (read > wanted - received) break;
        if (!sink(context, buffer.data(), read)) return false;
        received += read;
    }
    return received == wanted;
}
