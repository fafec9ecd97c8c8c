#pragma once
// What one patch run carries from stage to stage; a local of the run's thread.
#include <cstdint>
#include <string>
#include <vector>

#include "manifest/Manifest.h"

struct RunState {
    std::wstring fetchUrl;
    std::string body;
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
bool WaitUntilClientClosed();
// false: a file failed, the status is already written.
bool DownloadAndReplace(RunState& run);
void RemoveListed(const RunState& run);
bool RemoveTree(const std::wstring& dir);
void PublishCompletion(const RunState& run);
