// After a ready run: the release its manifest announces as next is fetched and verified like the live
// one, and the files it changes are fetched ahead into the staging folder while the player may
// already play. Nothing here touches the live files, fails the run or asks the player anything; what
// goes wrong is logged and the pre-load ends, to go on at the next run.
#include <windows.h>

#include <atomic>
#include <map>
#include <set>

#include "manifest/PathRule.h"
#include "patch/LogLines.h"
#include "patch/PreloadControl.h"
#include "patch/RunState.h"
#include "patch/Staging.h"
#include "patch/Words.h"
#include "text/Text.h"
#include "text/Utf8.h"
#include "trust/ManifestSignature.h"
#include "trust/Sequence.h"

namespace {

// The pre-load's run reports through the live run: its progress becomes the detail line, the rest
// goes to the log only.
struct PreloadReport {
    const RunState* live = nullptr;
    std::string version;
    std::atomic<int> percent{-1};
};

void PreloadStatus(void* context, const std::wstring&, const std::wstring&, int progress) {
    auto& p = *static_cast<PreloadReport*>(context);
    if (progress <= 0) return;
    const int percent = progress >= 1000 ? 100 : progress / 10;
    if (p.percent.exchange(percent) == percent) return;
    Report(*p.live, L"", PreloadDetail(p.version, PreloadStep::Loading, percent), -1);
}

void PreloadLog(void* context, const std::string& line) {
    Log(*static_cast<PreloadReport*>(context)->live, "pre-load: " + line);
}

// The live run's session and state, lent to the pre-load's run for as long as it lasts.
struct Lend {
    RunState& live;
    RunState& pre;
    Lend(RunState& l, RunState& p) : live(l), pre(p) {
        std::swap(live.http, pre.http);
        pre.memory = std::move(live.memory);
        if (pre.memory) pre.memory->swapped.clear();  // the live run's are recorded already
    }
    ~Lend() {
        std::swap(live.http, pre.http);
        live.memory = std::move(pre.memory);
    }
};

// The next manifest, fetched and verified as the live one is: signature and expiry, and for a patcher
// with keys a sequence above the live release's. false: why is set; refused tells a manifest that
// answered but must not be used from one that could not be had.
bool TakeNextManifest(RunState& live, RunState& pre, std::string& why, bool& refused) {
    pre.fetchUrl = CacheBustingUrl(pre.manifestUrl, GetTickCount64());
    refused = false;
    const GetResult got = HttpGetToMemory(pre.http, pre.fetchUrl, pre.body);
    if (!got.ok()) {
        why = LogText(got);
        return false;
    }
    refused = true;
    GetResult signatureGet;
    const SignatureError signature =
        VerifyManifestSignature(pre.http, pre.config->publicKeys, pre.fetchUrl, pre.body, pre.signer, signatureGet);
    if (signature != SignatureError::None) {
        refused = signature != SignatureError::Unreachable;
        why = LogText(signature);
        return false;
    }
    if (!ParseManifest(pre.body, pre.manifest) || pre.manifest.files.empty()) {
        why = "not a readable manifest with files";
        return false;
    }
    if (!pre.signer) return true;
    uint64_t liveSequence = 0, nextSequence = 0;
    const SequenceRead liveRead = ReadManifestSequence(live.body, liveSequence);
    const SequenceRead nextRead = ReadManifestSequence(pre.body, nextSequence);
    if (nextRead != SequenceRead::Present) {
        why = "a signed next release must carry a sequence";
        return false;
    }
    if (liveRead == SequenceRead::Present && nextSequence <= liveSequence) {
        why = "sequence " + std::to_string(nextSequence) + " is not above the live release's " +
              std::to_string(liveSequence);
        return false;
    }
    return true;
}

// The next release's files that differ from the live one's, one per digest; keep gets every digest
// the next release needs from staging.
std::vector<const ManifestFile*> ChangedFiles(const RunState& live, const PatchManifest& next,
                                              std::set<std::string>& keep) {
    std::map<std::wstring, const ManifestFile*> liveFiles;
    for (const ManifestFile& e : live.manifest.files) liveFiles[DiskKey(e.path)] = &e;
    std::vector<const ManifestFile*> changed;
    for (const ManifestFile& e : next.files) {
        std::array<uint8_t, 32> sha{};
        if (!IsSafeRelativePath(e.path) || IsInStagingFolder(e.path) || !DigestBytes(e.sha256, sha)) continue;
        const auto now = liveFiles.find(DiskKey(e.path));
        if (now != liveFiles.end() && now->second->size == e.size && AsciiLower(now->second->sha256) == AsciiLower(e.sha256))
            continue;
        if (keep.insert(AsciiLower(e.sha256)).second) changed.push_back(&e);
    }
    return changed;
}

void FetchAhead(RunState& live, RunState& pre, PreloadReport& report) {
    std::string why;
    bool refused = false;
    if (!TakeNextManifest(live, pre, why, refused)) {
        Log(live, "pre-load: next manifest " + WideToUtf8(pre.manifestUrl) + ": " + why +
                      (refused ? ", refused; staging cleared" : ", tried again next run"));
        if (refused) CleanStaging(pre, {});
        return;
    }
    report.version = pre.manifest.version;
    std::set<std::string> keep;
    const std::vector<const ManifestFile*> changed = ChangedFiles(live, pre.manifest, keep);
    CleanStaging(pre, keep);
    const std::vector<bool> staged = StagedCopiesHold(pre, changed);
    for (size_t i = 0; i < changed.size(); ++i) {
        if (staged[i]) continue;
        pre.toDownload.push_back(*changed[i]);
        pre.bytesTotal += changed[i]->size;
    }
    Log(live, "pre-load: next release \"" + pre.manifest.version + "\": " + std::to_string(changed.size()) +
                  " files differ, " + std::to_string(changed.size() - pre.toDownload.size()) + " already staged, " +
                  std::to_string(pre.bytesTotal) + " bytes to fetch");
    if (pre.toDownload.empty()) {
        Report(live, L"", PreloadDetail(pre.manifest.version, PreloadStep::Done, 100), -1);
        return;
    }
    pre.plan = BuildStagingPlan(pre.manifest, pre.toDownload, pre.manifestUrl);
    RecallPartials(pre);
    // Full or nearly: the pre-load waits for a run with room; the game starts all the same.
    if (!CreateDirectoryW(Utf8ToWide(kStagingFolderName).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        Log(live, "pre-load: the staging folder cannot be made" + SystemErrorText(GetLastError()));
        return;
    }
    const bool done = FolderHasRoom(pre) && FetchAndSwap(pre);
    // Staged files are recorded whatever the manifest's check member says: patch day relies on it.
    pre.manifest.reuseVerified = true;
    RememberFetched(pre);
    Report(live, L"", PreloadDetail(pre.manifest.version, done ? PreloadStep::Done : PreloadStep::Stopped, 100), -1);
    Log(live, std::string("pre-load: ") + (done ? "every changed file is staged" : "stopped, to go on next run"));
}

}  // namespace

void PreloadNext(RunState& live) {
    PreloadControl* control = live.config->preload;
    if (!control) return;
    const PatchManifest::Next& next = live.manifest.next;
    if (next.url.empty()) {
        CleanStaging(live, {});
        return;
    }
    if (control->stop.cancelled) return;
    if (live.reporter->preloading) live.reporter->preloading(live.reporter->context, next.whilePlaying, next.maxKibPerS);

    RunConfig config = *live.config;
    config.manifestUrl = ResolveFileUrl(live.manifestUrl, Utf8ToWide(next.url));
    config.fallbackUrls.clear();
    config.autoClose = true;  // nobody is asked anything
    PreloadReport report;
    report.live = &live;
    Reporter reporter;
    reporter.context = &report;
    reporter.status = PreloadStatus;
    reporter.retryOrCancel = [](void*, const wchar_t*) { return false; };
    reporter.begin = [](void*) {};
    reporter.end = [](void*, bool) {};
    if (live.reporter->log) reporter.log = PreloadLog;

    RunState pre;
    pre.config = &config;
    pre.reporter = &reporter;
    pre.startTicks = GetTickCount64();
    pre.manifestUrl = config.manifestUrl;
    pre.stop = &control->stop;
    pre.pace = &control->pace;
    Lend lend(live, pre);
    FetchAhead(live, pre, report);
}
