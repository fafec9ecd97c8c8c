#pragma once
#include <cstdint>
#include <string>

// Downloads into tempPath, hashing as it writes; true only for exactly expectedSize bytes with expectedSha256.
bool DownloadVerifiedFile(const std::wstring& fileUrl, const std::wstring& tempPath,
                          const std::wstring& displayName, uint64_t expectedSize,
                          const std::string& expectedSha256, uint64_t& bytesDone, uint64_t bytesTotal,
                          std::wstring& failureText);
