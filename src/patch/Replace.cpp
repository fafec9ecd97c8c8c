#include <windows.h>

#include <map>

#include "base/Handle.h"
#include "base/StatusBoard.h"
#include "trust/PatcherTrust.h"
#include "patch/RunState.h"
#include "patch/SpaceCheck.h"
#include "patch/Swap.h"
#include "text/Text.h"
#include "fetch/Download.h"
#include "net/ServerFacts.h"
#include "text/SizeText.h"

namespace {

constexpr int kSwapAttempts = 30;
constexpr DWORD kSwapPauseMs = 100;

void CreateParentDirectories(const std::wstring& localPath) {
    for (size_t i = 0; i < localPath.size(); ++i) {
        if (localPath[i] != L'\\' || i == 0) continue;
        CreateDirectoryW(localPath.substr(0, i).c_str(), nullptr);
    }
}

bool IsOwnExecutable(const RunState& run, const std::wstring& localPath) {
    return AsciiEqualNoCase(localPath, run.config->exeName);
}

uint64_t FileSizeOnDisk(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a) || (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return (uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// The stage at its fullest against the free space of the folder's volume, before anything is fetched.
// False when it clearly cannot fit; the status is written and the folder is as it was.
bool FolderHasRoom(const RunState& run, unsigned window) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(L".", &available, nullptr, nullptr)) return true;  // unknown: the writes will tell
    std::map<std::wstring, uint64_t> sizes;  // what each target measures when its turn comes
    std::vector<SpaceStep> steps;
    steps.reserve(run.toDownload.size());
    for (const ManifestFile& entry : run.toDownload) {
        const std::wstring localPath = ToLocalPath(entry.path);
        const auto [at, first] = sizes.try_emplace(DiskKey(entry.path), 0);
        if (first) at->second = FileSizeOnDisk(localPath);
        steps.push_back({entry.size, at->second, IsOwnExecutable(run, localPath)});
        at->second = entry.size;
    }
    const uint64_t needed = PeakExtraBytes(steps, window);
    if (needed <= available.QuadPart) return true;
    UpdateStatus(L"พื้นที่ดิสก์ไม่พอสำหรับการอัปเดต",
                 L"ต้องมีพื้นที่ว่างอย่างน้อย " + FormatSize(needed) + L" แต่มีว่างอยู่เพียง " +
                     FormatSize(available.QuadPart),
                 0);
    return false;
}

}  // namespace

void PrepareTarget(const std::wstring& localPath, bool self) {
    if (self) {
        DeleteFileW((localPath + L".old").c_str());
        return;
    }
    const DWORD a = GetFileAttributesW(localPath.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(localPath.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
}

bool SwapIntoPlace(const std::wstring& tempPath, const std::wstring& localPath, bool self) {
    // The running executable can be renamed but not overwritten; start-up deletes the .old next time.
    const std::wstring aside = localPath + L".old";
    for (int attempt = 0; attempt < kSwapAttempts; ++attempt) {
        const bool movedAside = self && MoveFileExW(localPath.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (MoveFileExW(tempPath.c_str(), localPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        if (movedAside) MoveFileExW(aside.c_str(), localPath.c_str(), 0);
        Sleep(kSwapPauseMs);
    }
    // A put-back that failed above gets one more try: the folder must keep a patcher under its name.
    if (self && GetFileAttributesW(localPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        MoveFileExW(aside.c_str(), localPath.c_str(), 0);
    return false;
}

bool FlushToDisk(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.get());
}

PlannedFile PlanDownload(const RunState& run, const ManifestFile& entry) {
    PlannedFile file;
    file.localPath = ToLocalPath(entry.path);
    CreateParentDirectories(file.localPath);
    file.tempPath = file.localPath + kSideFileSuffix;
    file.fileUrl = ResolveFileUrl(run.config->manifestUrl, Utf8ToWide(entry.url));
    return file;
}

bool SwapInVerified(const RunState& run, const PlannedFile& file) {
    const std::wstring& localPath = file.localPath;
    const std::wstring& tempPath = file.tempPath;
    const bool self = IsOwnExecutable(run, localPath);
    if (self && !NewPatcherKeepsTrust(tempPath, run.signer)) {
        DeleteFileW(tempPath.c_str());
        UpdateStatus(L"อัปเดตตัวแพตช์ไม่สำเร็จ",
                     L"ไฟล์ " + localPath +
                         L" รุ่นใหม่ไม่มีคีย์ที่ใช้ยืนยันลายเซ็นของข้อมูลแพตช์นี้ จึงไม่ได้ติดตั้ง กรุณาแจ้งผู้ให้บริการเกม",
                     0);
        return false;
    }
    if (self && !FlushToDisk(tempPath)) {
        DeleteFileW(tempPath.c_str());
        UpdateStatus(L"อัปเดตไม่สำเร็จ", L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): " + localPath, 0);
        return false;
    }
    PrepareTarget(localPath, self);
    if (!SwapIntoPlace(tempPath, localPath, self)) {
        DeleteFileW(tempPath.c_str());
        UpdateStatus(L"เขียนทับไฟล์ไม่สำเร็จ",
                     L"ไม่สามารถอัปเดต " + localPath + L" (กรุณาปิดเกมก่อนอัปเดต)", 0);
        return false;
    }
    return true;
}

bool DownloadAndReplace(RunState& run) {
    run.bytesDone = 0;
    // A file that can be assembled from its block map is worth more than parallel transfers.
    const bool parallel = run.manifest.connections > 1 && !NeedsOneAtATime(run.toDownload) &&
                          !AnyBlockMapCandidate(run.toDownload);
    if (!FolderHasRoom(run, parallel ? run.manifest.connections : 1)) return false;
    if (parallel) return DownloadInParallel(run, run.manifest.connections);
    for (const ManifestFile& entry : run.toDownload) {
        const PlannedFile file = PlanDownload(run, entry);
        try {
            if (!DownloadWithBlockMap(run, entry, file) &&
                !DownloadVerifiedFile(run.http, file.fileUrl, file.tempPath, file.localPath, entry.size,
                                      entry.sha256, run.bytesDone, run.bytesTotal, run.manifest.resume,
                                      run.failureText)) {
                UpdateStatus(L"อัปเดตไม่สำเร็จ", run.failureText, 0);
                return false;
            }
        } catch (...) {
            DeleteFileW(file.tempPath.c_str());  // the run ends on this; no side file may outlive it
            throw;
        }
        if (!SwapInVerified(run, file)) return false;
    }
    return true;
}
