#include "base/StatusBoard.h"
#include "patch/PathRule.h"
#include "patch/RunState.h"
#include "text/Text.h"
#include "transfer/Sha256.h"

void CheckLocalFiles(RunState& run) {
    run.toDownload.clear();
    run.bytesTotal = 0;
    const std::vector<ManifestFile>& files = run.manifest.files;
    const uint64_t n = files.size();
    for (uint64_t i = 0; i < n; ++i) {
        const ManifestFile& entry = files[i];
        if (!IsSafeRelativePath(entry.path)) continue;
        const std::wstring localPath = ToLocalPath(entry.path);
        UpdateStatus(L"กำลังตรวจสอบไฟล์ตัวเกม...", L"ตรวจสอบ " + localPath,
                     static_cast<int>(30 + (i * 120) / n));
        uint64_t fileSize = 0;
        std::string hexDigest;
        const bool hashed = HashFileSha256(localPath, fileSize, hexDigest);
        if (hashed && fileSize == entry.size && hexDigest == entry.sha256) continue;
        run.toDownload.push_back(entry);
        run.bytesTotal += entry.size;
    }
}
