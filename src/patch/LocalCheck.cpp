#include <windows.h>

#include <unordered_map>

#include "base/StatusBoard.h"
#include "fetch/ProgressMeter.h"
#include "patch/CheckPool.h"
#include "manifest/PathRule.h"
#include "patch/RunState.h"
#include "patch/Words.h"
#include "state/FileIdentities.h"
#include "text/Text.h"

namespace {

// With the manifest's check member and a state: true when every file must be hashed this time.
bool FullCheckDue(const RunState& run) {
    if (run.config && run.config->fullCheck) return true;
    const int64_t last = run.memory->state.lastFullCheck;
    const int64_t now = UtcNow();
    // A clock put back by more than a day would otherwise postpone the full check for as long.
    return last <= 0 || last > now + 86400 || now - last >= int64_t(run.manifest.fullCheckDays) * 86400;
}

enum class Recorded { Unknown, UpToDate, Differs };

// What the record says of the file when it is still as recorded: its bytes are the recorded digest's,
// so they are or are not the entry's without being read again (a changed release on patch day).
Recorded Judge(const FileRecord* record, const std::optional<FileIdentity>& now, const ManifestFile& entry) {
    if (!record || !now || record->identity != *now) return Recorded::Unknown;
    std::array<uint8_t, 32> sha{};
    const bool same = now->size == entry.size && DigestBytes(entry.sha256, sha) && sha == record->sha256;
    return same ? Recorded::UpToDate : Recorded::Differs;
}

std::string Why(const FileCheck& check) {
    if (check.upToDate) return "up to date";
    if (check.sizeDiffered) return "size differs";
    if (check.digested) return "digest differs";
    return GetFileAttributesW(check.localPath.c_str()) == INVALID_FILE_ATTRIBUTES ? "missing" : "unreadable";
}

}  // namespace

void CheckLocalFiles(RunState& run) {
    run.toDownload.clear();
    run.bytesTotal = 0;
    const std::vector<ManifestFile>& files = run.manifest.files;
    const bool logging = Logging(run);
    const bool remember = run.memory && run.manifest.reuseVerified;
    const bool full = !remember || FullCheckDue(run);
    if (remember) Log(run, full ? "check: every file is hashed (full check)" : "check: files recorded as verified are reused");

    std::vector<const ManifestFile*> listed;  // every entry that passes the path rule
    std::vector<uint64_t> listedAt;           // its place in the whole list
    for (uint64_t i = 0; i < files.size(); ++i) {
        // The staging folder is the patcher's own: nothing a manifest lists there is checked or fetched.
        if (!IsSafeRelativePath(files[i].path) || IsInStagingFolder(files[i].path)) continue;
        listed.push_back(&files[i]);
        listedAt.push_back(i);
    }
    // Identities come from the listings before any file is hashed: a file changed while it is hashed
    // then differs from its record next time.
    std::vector<std::optional<FileIdentity>> identities(listed.size());
    if (remember) {
        std::vector<std::wstring> paths;
        paths.reserve(listed.size());
        for (const ManifestFile* e : listed) paths.push_back(ToLocalPath(ResolveRelativePath(e->path)));
        identities = ReadIdentities(paths);
    }
    std::unordered_map<std::string, const FileRecord*> records;
    if (remember && !full)
        for (const FileRecord& r : run.memory->state.files) records[r.path] = &r;

    std::vector<FileCheck> checks;
    std::vector<size_t> checkOf;           // index into listed
    std::vector<uint64_t> positions;       // in the whole list, so passed-over entries move the bar too
    std::vector<bool> upToDate(listed.size(), false);
    checks.reserve(listed.size());
    for (size_t k = 0; k < listed.size(); ++k) {
        const ManifestFile& entry = *listed[k];
        if (!full) {
            const auto found = records.find(entry.path);
            const Recorded recorded = Judge(found == records.end() ? nullptr : found->second, identities[k], entry);
            if (recorded != Recorded::Unknown) {
                upToDate[k] = recorded == Recorded::UpToDate;
                if (logging) Log(run, "check " + entry.path + (upToDate[k] ? ": reused" : ": differs from its record"));
                continue;
            }
        }
        checks.push_back({ToLocalPath(entry.path), entry.size, &entry.sha256});
        checkOf.push_back(k);
        positions.push_back(listedAt[k]);
    }
    // Coalesced like the download's progress: a window repaint per file would cost more than the file.
    const size_t n = checks.size();
    const uint64_t listedCount = files.size();
    CheckFiles(checks, CheckThreadCount(), kPublishEveryMs, [&](size_t finished, size_t current) {
        const uint64_t at = positions[finished < n ? finished : n - 1];
        Report(run, CheckingFileWords(checks[current].localPath), static_cast<int>(30 + (at * 120) / listedCount));
    });
    for (size_t c = 0; c < n; ++c) {
        if (logging) Log(run, "check " + listed[checkOf[c]]->path + ": " + Why(checks[c]));
        upToDate[checkOf[c]] = checks[c].upToDate;
    }
    std::vector<const ManifestFile*> verified;
    std::vector<std::optional<FileIdentity>> verifiedIds;
    for (size_t k = 0; k < listed.size(); ++k) {
        if (upToDate[k]) {
            verified.push_back(listed[k]);
            verifiedIds.push_back(identities[k]);
            continue;
        }
        run.toDownload.push_back(*listed[k]);
        run.bytesTotal += listed[k]->size;
    }
    if (remember) {
        RememberCheck(run, verified, verifiedIds, full);
    } else if (run.memory) {
        // Without the check member no file is recorded; partial downloads and counters stay.
        RememberCheck(run, {}, {}, false);
    }
}
