#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "net/Http.h"

// One file to fetch into its side file.
struct DownloadFile {
    std::wstring fileUrl;
    std::wstring tempPath;
    std::wstring displayName;
    uint64_t expectedSize = 0;
    std::string expectedSha256;
    // A body cut off mid-way is continued with Range requests (up to kResumeAttempts more).
    bool resume = false;
};

// Called on the downloading thread after every chunk received: the file's bytes so far, and the change
// to the run's byte count (negative when a server answered a range with the whole file and the file
// starts over).
struct DownloadProgress {
    void (*report)(void* context, uint64_t received, int64_t change) = nullptr;
    void* context = nullptr;
};

// Lets another thread stop a download. Only the flag crosses threads: the downloading thread sees it
// before each request and between reads and ends the transfer itself, so its WinHTTP handles are used
// and closed on that thread alone. A call already waiting on the network returns within the request's
// time-outs.
struct DownloadCancel {
    std::atomic<bool> cancelled{false};
};
void CancelDownload(DownloadCancel& cancel);

// Downloads into tempPath, writing and hashing on a second thread while the next bytes arrive
// (fetch/WriteBehind.h); true only for exactly expectedSize bytes with expectedSha256. On false the
// side file this call created is gone and failureText says why.
bool DownloadVerifiedFile(HttpSession& session, const DownloadFile& file, const DownloadProgress& progress,
                          DownloadCancel* cancel, std::wstring& failureText);

// One file at a time as the run does it: progress and the file's sizes published at most every 40 ms.
bool DownloadVerifiedFile(HttpSession& session, const std::wstring& fileUrl, const std::wstring& tempPath,
                          const std::wstring& displayName, uint64_t expectedSize,
                          const std::string& expectedSha256, uint64_t& bytesDone, uint64_t bytesTotal,
                          bool resume, std::wstring& failureText);
// The same on a session of its own, without resuming.
bool DownloadVerifiedFile(const std::wstring& fileUrl, const std::wstring& tempPath,
                          const std::wstring& displayName, uint64_t expectedSize,
                          const std::string& expectedSha256, uint64_t& bytesDone, uint64_t bytesTotal,
                          std::wstring& failureText);
