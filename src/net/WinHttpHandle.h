#pragma once
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

#include "base/Handle.h"

struct WinHttpHandleTraits {
    using Type = HINTERNET;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { WinHttpCloseHandle(h); }
};
using UniqueInternet = Unique<WinHttpHandleTraits>;

// One address split for a request: host and path in fixed buffers, nothing else asked for.
struct RequestTarget {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    INTERNET_PORT port = 0;
    INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTP;
};
bool SplitRequestUrl(const std::wstring& url, RequestTarget& target);
// WINHTTP_FLAG_REFRESH always, WINHTTP_FLAG_SECURE for https.
DWORD RequestFlags(const RequestTarget& target);
// Status code of the answer, 0 when it cannot be read.
DWORD QueryStatus(HINTERNET request);
// A response header as ASCII text; empty when absent.
std::string QueryHeaderText(HINTERNET request, DWORD infoLevel);
// What identifies the answer's version of the file for If-Range: a strong ETag, else Last-Modified;
// empty when the answer has neither (or either holds anything but printable ASCII).
std::string ResponseValidator(HINTERNET request);

// A GET prepared on a shared session: connection and request handles, closed in reverse order.
struct GetRequest {
    UniqueInternet connection;
    UniqueInternet request;
};
// Which step of preparing a GET failed; each caller words its own failure text.
enum class PrepareStep { Done, Url, Connect, Request };
struct HttpTimeouts;
struct ProxyRoutes;
// routes: the session's per-host proxy choices, when it has them.
PrepareStep PrepareGet(HINTERNET session, const std::wstring& url, const HttpTimeouts& timeouts, GetRequest& out,
                       ProxyRoutes* routes = nullptr);
// Sends the GET (with extra header lines, or none) and waits for the answer's head. A proxy that asks
// for Windows credentials (407 with NTLM or Negotiate) gets the logged-on user's, once.
bool SendGet(HINTERNET request, const std::wstring& extraHeaders = std::wstring());
