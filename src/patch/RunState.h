#pragma once
// What one patch run carries from stage to stage; a local of the run's thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fetch/Download.h"
#include "trust/StampBlock.h"
#include "manifest/Manifest.h"
#include "fetch/Pace.h"
#include "net/Http.h"
#include "patch/Reporter.h"
#include "patch/RunConfig.h"
#include "patch/Plan.h"
#include "patch/RunMemory.h"

struct Words;

struct RunState {
    const RunConfig* config = nullptr;
    const Reporter* reporter = nullptr;
    uint64_t startTicks = 0;  // GetTickCount64 when the run began
    HttpSession http;  // the run's one session: the manifest fetch and every download
    std::wstring manifestUrl;  // the address whose manifest the run took: files resolve against it
    std::wstring fetchUrl;
    std::string body;
    std::optional<PublicKey> signer;  // the key that signed body; none when the patcher carries no keys
    PatchManifest manifest;
    std::vector<ManifestFile> toDownload;
    uint64_t bytesTotal = 0;
    FetchPlan plan;  // toDownload as the fetch stage takes it, built when that stage begins
    std::vector<std::wstring> dirsToRemove;
    std::vector<std::wstring> filesToRemove;
    std::unique_ptr<RunMemory> memory;  // the folder's state; none without a state folder
    // A stop from outside (the pre-load's control): transfers end, resumable side files stay.
    const DownloadCancel* stop = nullptr;
    Pace* pace = nullptr;  // shared by every transfer of the run (a pre-load's); null: unpaced
};

std::wstring CacheBustingUrl(const std::wstring& manifestUrl, uint64_t ticks);

// The manifest from the first of the configured addresses that gives one that verifies and reads
// (patch/ManifestStage.cpp); false: the last address's failure status is already written.
bool FetchManifest(RunState& run);
void CheckLocalFiles(RunState& run);
void SelectRemovals(RunState& run);
// Free space for the plan's side files as they come and go; false: the status (and log) say how much
// is missing.
bool FolderHasRoom(const RunState& run);
// false: the player cancelled, the status is already written.
bool WaitUntilClientClosed(const RunState& run);
// false: a file failed, the status is already written.
bool DownloadAndReplace(RunState& run);

// Puts a verified side file in place of its target (a new patcher only when it keeps the run's
// signer, see NewPatcherKeepsTrust); false: the failure status is already written.
bool SwapInVerified(RunState& run, const PlannedFile& file);
// After the signature check and the parse, for a patcher with keys: refuses a manifest older than one
// its key signed before (patch/Rollback.cpp; the folder's state is loaded first, LoadRunMemory);
// false: refused, failure says why. The manifest stage then tries its next address.
bool AcceptManifest(RunState& run, Words& failure);
// Fetches the plan's files, up to its connections at once, and swaps each in, in list order
// (patch/DownloadQueue.cpp); false: a file failed, the status is already written.
bool FetchAndSwap(RunState& run);
void RemoveListed(const RunState& run);
// After a ready run: fetches the release its manifest announces as next into the staging folder, or
// clears staging when none is announced (patch/Preload.cpp). Never fails the run; logs what happened.
void PreloadNext(RunState& run);
bool RemoveTree(const std::wstring& dir);
