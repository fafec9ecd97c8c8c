// The old-file scan of delta updates on its own: bench-scan MAP OLD_FILE prints seconds, MB/s and the
// bytes the scan found reusable, so the scan's speed can be measured apart from the network.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/Handle.h"
#include "delta/BlockMatch.h"

namespace {

size_t ReadNext(void* context, uint8_t* into, size_t most) {
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(context), into, static_cast<DWORD>(most), &got, nullptr)) return SIZE_MAX;
    return got;
}

bool ReadAll(const wchar_t* path, std::string& bytes) {
    UniqueFile f(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size;
    if (!f || !GetFileSizeEx(f.get(), &size) || size.QuadPart > (64 << 20)) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    return ReadFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: bench-scan MAP OLD_FILE\n", stderr);
        return 2;
    }
    std::string mapBytes, why;
    BlockMap map;
    if (!ReadAll(argv[1], mapBytes) ||
        !ReadBlockMap(reinterpret_cast<const uint8_t*>(mapBytes.data()), mapBytes.size(), map, why)) {
        std::fprintf(stderr, "bench-scan: unreadable map %s\n", why.c_str());
        return 1;
    }
    UniqueFile old(CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!old) return 1;
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    std::vector<uint64_t> found;
    ScanStats stats;
    if (!ScanForBlocks(map, ReadNext, old.get(), found, stats)) return 1;
    const AssemblyPlan plan = PlanAssembly(map, found, 64 * 1024);
    QueryPerformanceCounter(&t1);
    const double secs = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
    std::printf("%.3f %.0f %llu %llu %zu\n", secs, stats.bytesScanned / 1e6 / secs,
                static_cast<unsigned long long>(plan.reusedBytes), static_cast<unsigned long long>(plan.fetchedBytes),
                plan.ranges);
    return 0;
}
