#pragma once
// What one patch run carries from stage to stage; a local of the run's thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trust/StampBlock.h"
#include "manifest/Manifest.h"
#include "net/Http.h"
#include "patch/Reporter.h"
#include "patch/RunConfig.h"

struct RunState {
    const RunConfig* config = nullptr;
    const Reporter* reporter = nullptr;
    HttpSession http;  // the run's one session: the manifest fetch and every download
    std::wstring fetchUrl;
    std::string body;
    std::optional<PublicKey> signer;  // the key that signed body; none when the patcher carries no keys
    std::wstring failureText;
    PatchManifest manifest;
    std::vector<ManifestFile> toDownload;
    uint64_t bytesTotal = 0;
    std::vector<std::wstring> dirsToRemove;
    std::vector<std::wstring> filesToRemove;
    uint64_t bytesDone = 0;
};

std::wstring CacheBustingUrl(const std::wstring& manifestUrl, uint64_t ticks);

void CheckLocalFiles(RunState& run);
void SelectRemovals(RunState& run);
// false: the player cancelled, the status is already written.
bool WaitUntilClientClosed(const RunState& run);
// false: a file failed, the status is already written.
bool DownloadAndReplace(RunState& run);

// One file of toDownload as the download stage handles it.
struct PlannedFile {
    std::wstring localPath;
    std::wstring tempPath;
    std::wstring fileUrl;
};
// Paths and address of an entry; creates the folders the file goes into.
PlannedFile PlanDownload(const RunState& run, const ManifestFile& entry);
// Assembles the side file from the entry's block map, the local file and Range requests; true when
// it holds the verified new content. False leaves no side file and nothing to report: the caller
// downloads the whole file (patch/DeltaAssemble.cpp). An exception (on its range fetcher too) leaves
// no side file and ends the run.
bool DownloadWithBlockMap(RunState& run, const ManifestFile& entry, const PlannedFile& file);
// Whether some entry has a block map and a file on disk to assemble it from.
bool AnyBlockMapCandidate(const std::vector<ManifestFile>& toDownload);
// Puts a verified side file in place of its target (a new patcher only when it keeps the run's
// signer, see NewPatcherKeepsTrust); false: the failure status is already written.
bool SwapInVerified(const RunState& run, const PlannedFile& file);
// Up to `connections` downloads at once, swapped in manifest order (patch/DownloadQueue.cpp).
bool DownloadInParallel(RunState& run, unsigned connections);
// True when files of the list would meet on disk while they download side by side: two paths that
// land on one file (compared as Windows resolves them: '.' steps, doubled separators, trailing dots and
// spaces, letter case), one file's side file being another's target, or a file where another needs a
// folder. Such a list is downloaded one file at a time.
bool NeedsOneAtATime(const std::vector<ManifestFile>& files);
// Where a manifest path lands on disk, as Windows resolves it, letter case folded: equal keys, one file.
std::wstring DiskKey(const std::string& path);
void RemoveListed(const RunState& run);
bool RemoveTree(const std::wstring& dir);
