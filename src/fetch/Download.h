#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "fetch/FetchResult.h"
#include "fetch/Pace.h"
#include "net/Http.h"

// Lets another thread stop a download. Only the flag crosses threads: the downloading thread sees it
// before each request and between reads and ends the transfer itself, so its WinHTTP handles are used
// and closed on that thread alone. A call already waiting on the network returns within the request's
// time-outs.
struct DownloadCancel {
    std::atomic<bool> cancelled{false};
};

// One file to fetch into its side file.
struct DownloadFile {
    std::wstring fileUrl;
    std::wstring tempPath;
    uint64_t expectedSize = 0;
    std::string expectedSha256;
    // A body cut off mid-way is continued with Range requests (up to kResumeAttempts more).
    bool resume = false;
    // With resume: the validator (ETag or Last-Modified) of the answer whose bytes an earlier run left
    // in the side file. Not empty: those bytes are read and hashed again and the download goes on
    // after them with If-Range, so a file changed on the server comes whole from byte 0.
    std::string validator;
    // With resume: told each new validator before any byte of its answer is written, so that a later
    // run can go on from what is on disk.
    void (*keepValidator)(void* context, const std::string& validator) = nullptr;
    void* keepContext = nullptr;
    // A stop from outside the run (the pre-load's control): ends the transfer like a cancel, but a
    // resumable side file whose validator was kept stays for a later run to go on from.
    const DownloadCancel* stop = nullptr;
    // Shared with the other transfers of a pre-load (fetch/Pace.h); null: as fast as the line goes.
    Pace* pace = nullptr;
};

// Called on the downloading thread after every chunk received: the file's bytes so far, and the change
// to the run's byte count (negative when a server answered a range with the whole file and the file
// starts over).
struct DownloadProgress {
    void (*report)(void* context, uint64_t received, int64_t change) = nullptr;
    void* context = nullptr;
};

void CancelDownload(DownloadCancel& cancel);

// Downloads into tempPath, writing and hashing on a second thread while the next bytes arrive
// (fetch/WriteBehind.h); verified only for exactly expectedSize bytes with expectedSha256. Otherwise
// the side file this call created is gone.
FetchResult DownloadVerifiedFile(HttpSession& session, const DownloadFile& file, const DownloadProgress& progress,
                                 DownloadCancel* cancel);
