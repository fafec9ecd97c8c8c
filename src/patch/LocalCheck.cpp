#include "base/StatusBoard.h"
#include "patch/CheckPool.h"
#include "patch/PathRule.h"
#include "patch/RunState.h"
#include "text/Text.h"

void CheckLocalFiles(RunState& run) {
    run.toDownload.clear();
    run.bytesTotal = 0;
    const std::vector<ManifestFile>& files = run.manifest.files;
    std::vector<FileCheck> checks;
    std::vector<const ManifestFile*> entries;
    checks.reserve(files.size());
    entries.reserve(files.size());
    for (const ManifestFile& entry : files) {
        if (!IsSafeRelativePath(entry.path)) continue;
        checks.push_back({ToLocalPath(entry.path), entry.size, &entry.sha256});
        entries.push_back(&entry);
    }
    // Coalesced like the download's progress: a window repaint per file would cost more than the file.
    const size_t n = checks.size();
    CheckFiles(checks, CheckThreadCount(), 40, [&](size_t finished, size_t current) {
        UpdateStatus(L"กำลังตรวจสอบไฟล์ตัวเกม...", L"ตรวจสอบ " + checks[current].localPath,
                     static_cast<int>(30 + (finished * 120) / n));
    });
    for (size_t c = 0; c < n; ++c) {
        if (checks[c].upToDate) continue;
        run.toDownload.push_back(*entries[c]);
        run.bytesTotal += entries[c]->size;
    }
}
