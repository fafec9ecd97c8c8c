#pragma once
// Putting a verified side file in place of its target.
#include <cstdint>
#include <string>

// Readies localPath for the swap: clears its read-only flag, or for the program's own executable (self)
// deletes an older ".old" left by an earlier self-update.
void PrepareTarget(const std::wstring& localPath, bool self);
// Moves tempPath over localPath, retrying while the target is held; false when every attempt failed.
// attempts, when given, gets how many renames were tried, and lastError the last one's error.
// The own executable is moved aside to ".old" inside each attempt and put back when the new build
// could not take its name, so the folder lacks it only between two renames.
bool SwapIntoPlace(const std::wstring& tempPath, const std::wstring& localPath, bool self, int* attempts = nullptr,
                   uint32_t* lastError = nullptr);
// Writes the file's bytes through to the disk (FlushFileBuffers); false when that failed. Done for the
// own executable's new build only, before it takes the name: a power cut after the rename must not
// leave a patcher of zeros. Game files are not flushed: a damaged one is fetched again next run.
bool FlushToDisk(const std::wstring& path);
