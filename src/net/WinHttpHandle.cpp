#include "net/WinHttpHandle.h"

#include <memory>
#include <string>

#include "net/Proxy.h"
#include "net/ServerFacts.h"

bool SplitRequestUrl(const std::wstring& url, RequestTarget& target) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = target.host;
    parts.dwHostNameLength = static_cast<DWORD>(std::size(target.host));
    parts.lpszUrlPath = target.path;
    parts.dwUrlPathLength = static_cast<DWORD>(std::size(target.path));
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    target.port = parts.nPort;
    target.scheme = parts.nScheme;
    return true;
}

DWORD RequestFlags(const RequestTarget& target) {
    return WINHTTP_FLAG_REFRESH | (target.scheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
}

DWORD QueryStatus(HINTERNET request) {
    DWORD status = 0;
    DWORD length = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &length, WINHTTP_NO_HEADER_INDEX);
    return status;
}

std::string QueryHeaderText(HINTERNET request, DWORD infoLevel) {
    wchar_t value[256] = {};
    DWORD length = sizeof value;
    if (!WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, value, &length,
                             WINHTTP_NO_HEADER_INDEX))
        return std::string();
    std::string text;
    for (DWORD i = 0; i < length / sizeof(wchar_t) && value[i]; ++i)
        text.push_back(value[i] < 0x80 ? static_cast<char>(value[i]) : '?');
    return text;
}

std::string ResponseValidator(HINTERNET request) {
    const auto printable = [](const std::string& v) {
        for (char c : v)
            if (c < 0x20 || c > 0x7e) return false;
        return !v.empty();
    };
    const std::string etag = QueryHeaderText(request, WINHTTP_QUERY_ETAG);
    // A weak ETag may not be used with If-Range.
    if (printable(etag) && etag.compare(0, 2, "W/") != 0) return etag;
    const std::string modified = QueryHeaderText(request, WINHTTP_QUERY_LAST_MODIFIED);
    return printable(modified) ? modified : std::string();
}

PrepareStep PrepareGet(HINTERNET session, const std::wstring& url, const HttpTimeouts& timeouts, GetRequest& out,
                       ProxyRoutes* routes) {
    // Two kilobytes of path do not belong on a worker thread's stack.
    auto target = std::make_unique<RequestTarget>();
    if (!SplitRequestUrl(url, *target)) return PrepareStep::Url;
    if (routes) session = SessionForHost(session, *routes, url, *target);
    out.connection.reset(WinHttpConnect(session, target->host, target->port, 0));
    if (!out.connection) return PrepareStep::Connect;
    out.request.reset(WinHttpOpenRequest(out.connection.get(), L"GET", target->path, nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, RequestFlags(*target)));
    if (!out.request) return PrepareStep::Request;
    WinHttpSetTimeouts(out.request.get(), timeouts.resolve, timeouts.connect, timeouts.send, timeouts.receive);
    // The run's requests share one session: a cookie set by one answer must not ride along on the
    // next requests, as it could not when every request had a session of its own.
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(out.request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof noCookies);
    return PrepareStep::Done;
}

bool SendGet(HINTERNET request, const std::wstring& extraHeaders) {
    const wchar_t* headers = extraHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : extraHeaders.c_str();
    const DWORD length = static_cast<DWORD>(extraHeaders.size());
    const auto exchange = [&] {
        return WinHttpSendRequest(request, headers, length, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
               WinHttpReceiveResponse(request, nullptr);
    };
    if (!exchange()) return false;
    if (QueryStatus(request) != 407) return true;
    DWORD schemes = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request, &schemes, &first, &target)) return true;
    const DWORD scheme = schemes & WINHTTP_AUTH_SCHEME_NEGOTIATE ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                         : schemes & WINHTTP_AUTH_SCHEME_NTLM    ? WINHTTP_AUTH_SCHEME_NTLM
                                                                 : 0;
    // A proxy that wants a typed password is not answered: the 407 stands.
    if (!scheme || !WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr))
        return true;
    return exchange();
}
