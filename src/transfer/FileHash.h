#pragma once
// Reading and hashing files one after another with buffers kept between them: a file smaller than a
// chunk in one read of its known size, a larger one chunk by chunk with the next chunk read on a
// helper thread while the current one is hashed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Bytes per read of a large file; two such buffers per scratch.
constexpr size_t kHashChunk = 512 * 1024;

struct ReadAhead;

struct FileHashScratch {
    std::unique_ptr<uint8_t[]> buffers[2];
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
