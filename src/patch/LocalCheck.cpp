#include "base/StatusBoard.h"
#include "fetch/ProgressMeter.h"
#include "patch/CheckPool.h"
#include "manifest/PathRule.h"
#include "patch/RunState.h"
#include "patch/Words.h"
#include "text/Text.h"

void CheckLocalFiles(RunState& run) {
    run.toDownload.clear();
    run.bytesTotal = 0;
    const std::vector<ManifestFile>& files = run.manifest.files;
    std::vector<FileCheck> checks;
    std::vector<const ManifestFile*> entries;
    std::vector<uint64_t> positions;  // in the whole list, so passed-over entries move the bar too
    checks.reserve(files.size());
    entries.reserve(files.size());
    for (uint64_t i = 0; i < files.size(); ++i) {
        const ManifestFile& entry = files[i];
        if (!IsSafeRelativePath(entry.path)) continue;
        checks.push_back({ToLocalPath(entry.path), entry.size, &entry.sha256});
        entries.push_back(&entry);
        positions.push_back(i);
    }
    // Coalesced like the download's progress: a window repaint per file would cost more than the file.
    const size_t n = checks.size();
    const uint64_t listed = files.size();
    CheckFiles(checks, CheckThreadCount(), kPublishEveryMs, [&](size_t finished, size_t current) {
        const uint64_t at = positions[finished < n ? finished : n - 1];
        Report(run, CheckingFileWords(checks[current].localPath), static_cast<int>(30 + (at * 120) / listed));
    });
    for (size_t c = 0; c < n; ++c) {
        if (checks[c].upToDate) continue;
        run.toDownload.push_back(*entries[c]);
        run.bytesTotal += entries[c]->size;
    }
}
