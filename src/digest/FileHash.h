#pragma once
// Reading and hashing files one after another with buffers kept between them: a file smaller than a
// chunk in one read of its known size, a larger one chunk by chunk, read ahead on a helper thread
// while the chunks before are hashed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Bytes per read of a large file, and how many chunks may be read ahead of the hashing.
constexpr size_t kHashChunk = 256 * 1024;
constexpr int kHashSlots = 4;

struct ReadAhead;

struct FileHashScratch {
    std::unique_ptr<uint8_t[]> buffers[kHashSlots];
    ReadAhead* readAhead = nullptr;  // started on the first large file, stopped with the scratch
    bool readAheadFailed = false;    // could not be started: large files are read on the hashing thread

    FileHashScratch() = default;
    FileHashScratch(const FileHashScratch&) = delete;
    FileHashScratch& operator=(const FileHashScratch&) = delete;
    ~FileHashScratch();
};

enum class FileDigest { Unreadable, SizeDiffers, Digested };

// Opens the file (read and write sharing), takes its size from the handle into size and, when
// sizeMustBe is given and the size differs, stops there. Otherwise hashes the bytes up to the end or
// the first failed read. Unreadable: the open, the size or the digest engine failed (size is written
// once it is known).
FileDigest DigestFile(FileHashScratch& scratch, const std::wstring& path, const uint64_t* sizeMustBe,
                      uint64_t& size, uint8_t digest[32]);
