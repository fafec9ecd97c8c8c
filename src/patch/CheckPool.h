#pragma once
// Size and digest checks of many files at once, on a few worker threads.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct FileCheck {
    std::wstring localPath;
    uint64_t size = 0;                     // what the file must measure
    const std::string* sha256 = nullptr;   // and its digest text
    bool upToDate = false;                 // the result
    bool sizeDiffered = false;             // not up to date because of its size (it was not read)
    bool digested = false;                 // read to its end and hashed
};

// As many as the processor has, at most 8.
unsigned CheckThreadCount();

// Called on the calling thread: once before any file is checked, then at most every reportEveryMs
// while files remain. finished never decreases; current is the index of a file being checked.
using CheckReport = std::function<void(size_t finished, size_t current)>;

// Sets upToDate of every check: the file measures size and its digest equals sha256. A file whose size
// differs is not read. With one thread, or one file, everything runs on the calling thread. An exception
// on a worker (or from report) stops the others and is rethrown here once they have ended.
void CheckFiles(std::vector<FileCheck>& checks, unsigned threads, unsigned reportEveryMs, const CheckReport& report);
