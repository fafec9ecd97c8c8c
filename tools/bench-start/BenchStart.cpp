// bench-start EXE [ARGS...]: starts EXE, waits (at most 30 s) until its window shows the painted header
// band, prints the milliseconds it took, then ends the process it started.
// bench-start --peak EXE [ARGS...]: lets EXE run to its end (at most 10 minutes) and prints its peak
// working set in KiB, sampled every few milliseconds while it runs, and its exit code.
// bench-start --answers EXE [ARGS...]: lets EXE run to its end (at most 10 minutes), sending its window
// WM_NULL every 20 ms, and prints how many answers came and their median, 99th percentile and longest
// time in ms, then EXE's exit code.
// bench-start --close-at FILE BYTES EXE [ARGS...]: lets EXE run until FILE holds at least BYTES bytes
// (at most 10 minutes), then closes its window as a player would and waits for it to end; prints FILE's
// size then and EXE's exit code.
// bench-start --play-when FILE EXE [ARGS...]: lets EXE run until its main button is enabled and FILE
// exists (at most 10 minutes), presses the button (Start Game) and prints the Unix time of the press in
// milliseconds; then waits for EXE to end (at most 10 minutes) and prints its exit code.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Search {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindOwnWindow(HWND hwnd, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (pid == s->pid && std::wstring(cls) == L"QirellPatcherWnd" && IsWindowVisible(hwnd)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

bool HeaderPainted(HWND hwnd) {
    HDC dc = GetDC(hwnd);
    if (!dc) return false;
    COLORREF c = GetPixel(dc, 4, 4);
    ReleaseDC(hwnd, dc);
    return c == RGB(28, 34, 53);
}

}  // namespace

int PeakWorkingSet(const PROCESS_INFORMATION& pi) {
    SIZE_T peak = 0;
    DWORD waited = WAIT_TIMEOUT;
    for (int i = 0; i < 600000 / 5 && waited == WAIT_TIMEOUT; ++i) {
        PROCESS_MEMORY_COUNTERS m = {};
        m.cb = sizeof m;
        // Read before the wait: once the process has ended there is nothing left to ask.
        if (GetProcessMemoryInfo(pi.hProcess, &m, sizeof m) && m.PeakWorkingSetSize > peak) peak = m.PeakWorkingSetSize;
        waited = WaitForSingleObject(pi.hProcess, 5);
    }
    if (waited == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 1);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    printf("%llu %lu\n", static_cast<unsigned long long>(peak / 1024), code);
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}

int AnswerTimes(const PROCESS_INFORMATION& pi) {
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    std::vector<double> ms;
    HWND window = nullptr;
    const ULONGLONG end = GetTickCount64() + 600000;
    DWORD waited = WAIT_TIMEOUT;
    while (waited == WAIT_TIMEOUT && GetTickCount64() < end) {
        if (!window) {
            Search s = {pi.dwProcessId, nullptr};
            EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&s));
            window = s.found;
        }
        if (window) {
            LARGE_INTEGER t0, t1;
            DWORD_PTR ignored = 0;
            QueryPerformanceCounter(&t0);
            const bool answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &ignored) != 0;
            QueryPerformanceCounter(&t1);
            if (answered || GetLastError() == ERROR_TIMEOUT)
                ms.push_back((t1.QuadPart - t0.QuadPart) * 1000.0 / freq.QuadPart);
        }
        waited = WaitForSingleObject(pi.hProcess, 20);
    }
    if (waited == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 1);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (ms.empty()) return 1;
    std::sort(ms.begin(), ms.end());
    printf("%zu %.1f %.1f %.1f %lu\n", ms.size(), ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), code);
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}

uint64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA a = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return 0;
    return (uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

int CloseAt(const PROCESS_INFORMATION& pi, const std::wstring& file, uint64_t bytes) {
    DWORD waited = WAIT_TIMEOUT;
    for (int i = 0; i < 600000 / 5 && waited == WAIT_TIMEOUT && SizeOf(file) < bytes; ++i)
        waited = WaitForSingleObject(pi.hProcess, 5);
    const uint64_t at = SizeOf(file);
    if (waited == WAIT_TIMEOUT) {
        Search s = {pi.dwProcessId, nullptr};
        EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&s));
        if (s.found) PostMessageW(s.found, WM_CLOSE, 0, 0);
        waited = WaitForSingleObject(pi.hProcess, 60000);
    }
    if (waited == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 1);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    printf("%llu %lu\n", static_cast<unsigned long long>(at), code);
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}

uint64_t UnixMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t t = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (t - 116444736000000000ull) / 10000;
}

int PlayWhen(const PROCESS_INFORMATION& pi, const std::wstring& file) {
    HWND window = nullptr;
    DWORD waited = WAIT_TIMEOUT;
    for (int i = 0; i < 600000 / 20 && waited == WAIT_TIMEOUT; ++i) {
        Search s = {pi.dwProcessId, nullptr};
        EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&s));
        HWND button = s.found ? GetDlgItem(s.found, 201) : nullptr;
        if (button && IsWindowEnabled(button) && GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES) {
            window = s.found;
            break;
        }
        waited = WaitForSingleObject(pi.hProcess, 20);
    }
    if (window) {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(201, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 201)));
        printf("%llu\n", static_cast<unsigned long long>(UnixMs()));
        fflush(stdout);
        waited = WaitForSingleObject(pi.hProcess, 600000);
    }
    if (waited == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 1);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    printf("%lu\n", code);
    return window && waited == WAIT_OBJECT_0 ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
    const bool peak = argc > 1 && std::wstring(argv[1]) == L"--peak";
    const bool answers = argc > 1 && std::wstring(argv[1]) == L"--answers";
    const bool closeAt = argc > 3 && std::wstring(argv[1]) == L"--close-at";
    const bool playWhen = argc > 2 && std::wstring(argv[1]) == L"--play-when";
    std::wstring closeFile, playFile;
    uint64_t closeBytes = 0;
    if (playWhen) {
        playFile = argv[2];
        argv += 2, argc -= 2;
    }
    if (closeAt) {
        closeFile = argv[2];
        closeBytes = _wcstoui64(argv[3], nullptr, 10);
        argv += 3, argc -= 3;
    }
    if (peak || answers) ++argv, --argc;
    if (argc < 2) return 2;
    std::wstring cmd = L"\"" + std::wstring(argv[1]) + L"\"";
    for (int i = 2; i < argc; ++i) cmd += L" " + std::wstring(argv[i]);
    std::wstring dir = argv[1];
    dir = dir.substr(0, dir.find_last_of(L"\\/"));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    if (!CreateProcessW(argv[1], cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi)) return 3;
    CloseHandle(pi.hThread);
    if (peak) return PeakWorkingSet(pi);
    if (answers) return AnswerTimes(pi);
    if (closeAt) return CloseAt(pi, closeFile, closeBytes);
    if (playWhen) return PlayWhen(pi, playFile);
    int rc = 1;
    for (int i = 0; i < 30000; ++i) {
        Search s = {pi.dwProcessId, nullptr};
        EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&s));
        if (s.found && HeaderPainted(s.found)) {
            QueryPerformanceCounter(&t1);
            printf("%.1f\n", (t1.QuadPart - t0.QuadPart) * 1000.0 / freq.QuadPart);
            rc = 0;
            break;
        }
        Sleep(1);
    }
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess);
    return rc;
}
