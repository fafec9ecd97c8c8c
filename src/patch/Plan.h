#pragma once
// Each file the run fetches, worked out once when the fetch stage begins: every later step (space
// check, transfers, assembly, swap) reads these records and derives none of it again.
#include <cstdint>
#include <string>
#include <vector>

#include "manifest/Manifest.h"

enum class FetchWay : uint8_t {
    Whole,      // one GET of the whole file
    Resumed,    // the same, a broken body continued with Range requests
    Assembled,  // from the block map, the local copy and ranges; a whole (or resumed) GET if that fails
    Staged,     // nothing fetched: a pre-loaded copy was moved into the side file (patch/Staging.h)
};

// One base a file can come from: its addresses resolved against that base.
struct FileSource {
    size_t base = 0;  // index into FetchPlan::bases
    std::wstring fileUrl;
    std::wstring mapUrl;  // empty: no block map
};

struct PlannedFile {
    ManifestFile entry;
    std::wstring localPath;
    std::wstring sidePath;     // where the new content is written and verified before the swap
    std::wstring basePath;     // the local copy a block map assembles from: localPath, or for a file
                               // fetched ahead into staging, the game folder's file it will replace
    std::wstring fileUrl;      // the address fetched: the first source's, or the one being tried
    std::wstring mapUrl;       // empty: no block map
    // Every base that serves the file, in the plan's order, addresses that repeat an earlier one left
    // out: one source without mirrors (or for an absolute address).
    std::vector<FileSource> sources;
    std::wstring displayName;  // how the player's status names the file
    bool ownExecutable = false;  // the running patcher: moved aside, kept to its keys, flushed
    bool resume = false;         // a whole GET continues a broken body
    std::string validator;       // an earlier run's side file to go on from (fetch/Download.h)
    FetchWay way = FetchWay::Whole;
};

struct FetchPlan {
    std::vector<PlannedFile> files;  // in list order, the order of the swaps
    std::vector<std::wstring> bases;  // the manifest's mirrors in order, then the manifest's own address
    unsigned connections = 1;        // 1: one file at a time on the run's thread
};

// The plan of toDownload (the local check's result): addresses resolved against the mirrors and manifestUrl, the own
// executable recognised by exeName, parallel transfers only where no files meet on disk and no file can
// be assembled from its map.
FetchPlan BuildPlan(const PatchManifest& manifest, const std::vector<ManifestFile>& toDownload,
                    const std::wstring& manifestUrl, const std::wstring& exeName);
// The same for files fetched ahead: each goes to its staged path (patch/Staging.h), named by its
// digest, assembled from the game folder's file at its listed path; always resumable.
FetchPlan BuildStagingPlan(const PatchManifest& manifest, const std::vector<ManifestFile>& toStage,
                           const std::wstring& manifestUrl);
// Creates the folders a planned file goes into.
void CreateParentDirectories(const std::wstring& localPath);

// True when files of the list would meet on disk while they download side by side: two paths that
// land on one file (compared as Windows resolves them: '.' steps, doubled separators, trailing dots and
// spaces, letter case), one file's side file being another's target, or a file where another needs a
// folder. Such a list is downloaded one file at a time.
bool NeedsOneAtATime(const std::vector<ManifestFile>& files);
// Where a manifest path lands on disk, as Windows resolves it, letter case folded: equal keys, one file.
std::wstring DiskKey(const std::string& path);
