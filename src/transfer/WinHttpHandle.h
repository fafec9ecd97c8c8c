#pragma once
#include <windows.h>
#include <winhttp.h>

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
