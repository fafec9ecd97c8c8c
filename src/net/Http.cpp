#include "net/Http.h"

#include <vector>

#include "text/Text.h"
#include "net/RangeRules.h"
#include "net/ServerFacts.h"

namespace {
constexpr DWORD kRangeBuffer = 65536;
}  // namespace

std::atomic<unsigned> gHttpSessionsOpened{0};

bool OpenHttpSession(HttpSession& session) {
    const UserProxySettings user = ReadUserProxySettings();
    const SessionProxy proxy = SessionProxyFor(user);
    session.handle.reset(WinHttpOpen(kUserAgent, proxy.accessType,
                                     proxy.proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.proxy.c_str(),
                                     proxy.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : proxy.bypass.c_str(), 0));
    if (!session.handle) return false;
    if (NeedsPerHostProxy(user)) {
        session.proxy = std::make_unique<ProxyRoutes>();
        session.proxy->settings = user;
    }
    ++gHttpSessionsOpened;
    return true;
}

namespace {

GetResult Failed(GetCode code) { return {code, 0, GetLastError()}; }

}  // namespace

GetResult HttpGetToMemory(HttpSession& session, const std::wstring& requestUrl, std::string& body, size_t bodyCap) {
    GetRequest get;
    switch (PrepareGet(session.handle.get(), requestUrl, kManifestTimeouts, get, session.proxy.get())) {
    case PrepareStep::Url: return {GetCode::BadUrl};
    case PrepareStep::Connect: return Failed(GetCode::NoConnection);
    case PrepareStep::Request: return Failed(GetCode::NoRequest);
    case PrepareStep::Done: break;
    }
    HINTERNET request = get.request.get();
    if (!SendGet(request)) return Failed(GetCode::ConnectionLost);
    const DWORD status = QueryStatus(request);
    if (status != 200) return {GetCode::HttpStatus, status};
    // A body cut short is a lost connection: nothing of it may reach the caller as if it were whole.
    uint64_t announced = 0;
    const bool sized = ParseContentLength(QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH), announced);
    // Collected aside so that an oversized or broken answer leaves the caller's body as it was.
    std::string received;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return Failed(GetCode::ConnectionLost);
        if (available == 0) break;
        if (available > bodyCap - received.size()) return {GetCode::TooLarge};
        std::vector<char> scratch(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, scratch.data(), available, &read)) return Failed(GetCode::ConnectionLost);
        received.append(scratch.data(), read);
    }
    if (sized && announced != received.size()) return Failed(GetCode::ConnectionLost);
    body.swap(received);
    return {};
}

GetResult HttpGetToMemory(const std::wstring& requestUrl, std::string& body) {
    RequestTarget target;
    if (!SplitRequestUrl(requestUrl, target)) return {GetCode::BadUrl};
    HttpSession session;
    if (!OpenHttpSession(session)) return Failed(GetCode::NoSession);
    return HttpGetToMemory(session, requestUrl, body);
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
                  ByteSink sink, void* context, ReadLimit limit) {
    GetRequest get;
    if (last < first || last == kOpenEnd ||
        PrepareGet(session.handle.get(), url, kFileTimeouts, get, session.proxy.get()) != PrepareStep::Done)
        return false;
    HINTERNET request = get.request.get();
    DWORD status = 0;
    if (StartRangedGet(request, first, last, fileSize, status) != RangeStart::Part) return false;
    const uint64_t wanted = last - first + 1;
    uint64_t received = 0;
    std::vector<uint8_t> buffer(kRangeBuffer);
    for (;;) {
        DWORD read = 0;
        const size_t allowed = limit ? limit(context) : kRangeBuffer;
        const DWORD ask = allowed == 0 ? 1 : allowed < kRangeBuffer ? static_cast<DWORD>(allowed) : kRangeBuffer;
        if (!WinHttpReadData(request, buffer.data(), ask, &read) || read == 0) break;
        if (read > wanted - received) break;
        if (!sink(context, buffer.data(), read)) return false;
        received += read;
    }
    return received == wanted;
}
