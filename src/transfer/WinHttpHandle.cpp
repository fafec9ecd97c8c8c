#include "transfer/WinHttpHandle.h"

#include <string>

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
