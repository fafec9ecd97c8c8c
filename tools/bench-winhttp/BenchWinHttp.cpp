// bench-winhttp URL: GETs URL, reads the body into a 64 KiB buffer and throws it away.
// Prints the byte count; exit code 0 on status 200.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fwprintf(stderr, L"usage: bench-winhttp URL\n");
        return 2;
    }
    wchar_t host[256] = {}, path[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(argv[1], 0, 0, &parts)) return 3;
    HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, parts.nPort, 0) : nullptr;
    DWORD flags = WINHTTP_FLAG_REFRESH | (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    HINTERNET request =
        connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, nullptr, nullptr, flags) : nullptr;
    unsigned long long total = 0;
    DWORD status = 0, len = sizeof status;
    if (request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr)) {
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status,
                            &len, nullptr);
        std::vector<char> buffer(65536);
        DWORD got = 0;
        while (WinHttpReadData(request, buffer.data(), 65536, &got) && got > 0) total += got;
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    printf("%llu\n", total);
    return status == 200 ? 0 : 1;
}
