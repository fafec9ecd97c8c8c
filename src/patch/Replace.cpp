#include <windows.h>

#include <map>

#include "base/Handle.h"
#include "base/StatusBoard.h"
#include "trust/PatcherTrust.h"
#include "patch/LogLines.h"
#include "patch/RunState.h"
#include "patch/Staging.h"
#include "patch/Words.h"
#include "patch/SpaceCheck.h"
#include "patch/Swap.h"
#include "text/Text.h"
#include "text/SizeText.h"

namespace {

constexpr int kSwapAttempts = 30;
constexpr DWORD kSwapPauseMs = 100;

uint64_t FileSizeOnDisk(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a) || (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return (uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
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

bool SwapIntoPlace(const std::wstring& tempPath, const std::wstring& localPath, bool self, int* attempts,
                   uint32_t* lastError) {
    // The running executable can be renamed but not overwritten; start-up deletes the .old next time.
    const std::wstring aside = localPath + L".old";
    for (int attempt = 0; attempt < kSwapAttempts; ++attempt) {
        if (attempts) *attempts = attempt + 1;
        const bool movedAside = self && MoveFileExW(localPath.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (MoveFileExW(tempPath.c_str(), localPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        if (lastError) *lastError = GetLastError();
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

bool SwapInVerified(RunState& run, const PlannedFile& file) {
    const std::wstring& localPath = file.localPath;
    const std::wstring& tempPath = file.sidePath;
    if (file.ownExecutable && !NewPatcherKeepsTrust(tempPath, run.signer)) {
        Log(run, "swap " + file.entry.path + " refused: the new patcher lacks the key that signed this manifest");
        DeleteFileW(tempPath.c_str());
        Report(run, PatcherLacksKeyWords(localPath), 0);
        return false;
    }
    if (file.ownExecutable && !FlushToDisk(tempPath)) {
        Log(run, "swap " + file.entry.path + " failed: the new patcher could not be flushed" +
                     SystemErrorText(GetLastError()));
        DeleteFileW(tempPath.c_str());
        Report(run, FlushFailedWords(localPath), 0);
        return false;
    }
    PrepareTarget(localPath, file.ownExecutable);
    int attempts = 0;
    uint32_t error = 0;
    const bool swapped = SwapIntoPlace(tempPath, localPath, file.ownExecutable, &attempts, &error);
    if (attempts > 1 || !swapped)
        Log(run, "swap " + file.entry.path + ": " + (swapped ? "in place" : "failed") + " after " +
                     std::to_string(attempts) + " attempts, the target was held" + SystemErrorText(error));
    if (!swapped) {
        DeleteFileW(tempPath.c_str());
        Report(run, SwapFailedWords(localPath), 0);
        return false;
    }
    if (run.memory) run.memory->swapped.push_back(&file);
    return true;
}

// The stage at its fullest against the free space of the folder's volume, before anything is fetched.
bool FolderHasRoom(const RunState& run) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(L".", &available, nullptr, nullptr)) return true;  // unknown: the writes will tell
    std::map<std::wstring, uint64_t> sizes;  // what each target measures when its turn comes
    std::vector<SpaceStep> steps;
    steps.reserve(run.plan.files.size());
    for (const PlannedFile& file : run.plan.files) {
        const auto [at, first] = sizes.try_emplace(DiskKey(file.entry.path), 0);
        if (first) at->second = FileSizeOnDisk(file.localPath);
        // A file moved in from staging already takes its room on the volume.
        steps.push_back({file.way == FetchWay::Staged ? 0 : file.entry.size, at->second, file.ownExecutable});
        at->second = file.entry.size;
    }
    const uint64_t needed = PeakExtraBytes(steps, run.plan.connections);
    if (needed <= available.QuadPart) return true;
    Log(run, "not enough disk space: " + std::to_string(needed) + " bytes needed, " +
                 std::to_string(available.QuadPart) + " free");
    Report(run, NoRoomWords(needed, available.QuadPart), 0);
    return false;
}

bool DownloadAndReplace(RunState& run) {
    run.plan = BuildPlan(run.manifest, run.toDownload, run.manifestUrl, run.config->exeName);
    RecallPartials(run);
    TakeStaged(run);
    const bool done = FolderHasRoom(run) && FetchAndSwap(run);
    if (!done) ReturnStaged(run);
    RememberFetched(run);
    return done;
}
