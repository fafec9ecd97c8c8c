// bench-swap [ROUNDS] [BYTES]: times the self-update swap (own executable moved aside, new build moved in)
// in a scratch folder. The folder lacks the executable only inside that call, so its duration bounds the
// gap. Also times the flush of the new build's side file that comes before the swap (outside the gap).
// Prints two lines, the swap's and the flush's: median, 99th percentile and largest duration in
// microseconds.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "patch/Swap.h"

namespace {

bool Write(const wchar_t* path, const std::string& bytes) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(h);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 2000;
    wchar_t temp[MAX_PATH] = {};
    if (!GetTempPathW(MAX_PATH, temp)) return 3;
    const std::wstring dir = std::wstring(temp) + L"qirell-bench-swap";
    CreateDirectoryW(dir.c_str(), nullptr);
    if (!SetCurrentDirectoryW(dir.c_str())) return 3;
    const size_t bytes = argc > 2 ? static_cast<size_t>(std::max(1, _wtoi(argv[2]))) : size_t(256) << 10;
    const std::string body(bytes, 'x');
    if (!Write(L"Self.exe", body)) return 3;

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    std::vector<double> micros, flushMicros;
    auto since = [&](const LARGE_INTEGER& t0, const LARGE_INTEGER& t1) {
        return 1e6 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart);
    };
    for (int i = 0; i < rounds; ++i) {
        if (!Write(L"Self.exe.patch.tmp", body)) return 3;
        LARGE_INTEGER f0, f1;
        QueryPerformanceCounter(&f0);
        const bool flushed = FlushToDisk(L"Self.exe.patch.tmp");
        QueryPerformanceCounter(&f1);
        if (!flushed) return 4;
        flushMicros.push_back(since(f0, f1));
        PrepareTarget(L"Self.exe", true);
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        const bool swapped = SwapIntoPlace(L"Self.exe.patch.tmp", L"Self.exe", true);
        QueryPerformanceCounter(&t1);
        if (!swapped) return 4;
        micros.push_back(since(t0, t1));
    }
    DeleteFileW(L"Self.exe");
    DeleteFileW(L"Self.exe.old");
    SetCurrentDirectoryW(temp);
    RemoveDirectoryW(dir.c_str());
    for (std::vector<double>* v : {&micros, &flushMicros}) {
        std::sort(v->begin(), v->end());
        const size_t n = v->size();
        std::printf("%.1f %.1f %.1f\n", (*v)[n / 2], (*v)[std::min(n - 1, n * 99 / 100)], (*v)[n - 1]);
    }
    return 0;
}
