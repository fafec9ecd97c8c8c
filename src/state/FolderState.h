#pragma once
// What the patcher remembers about one game folder between runs, and its file format: platform-free,
// so the native tests and the fuzzer read and write the same bytes as the patcher.
//
//   "QPSTATE\0"  u32 version  u32 0  u64 payload length  payload  SHA-256 of everything before it
//
// Integers are little-endian; strings are a u32 length and that many bytes. A file that is cut, of
// another version, over its limits or whose digest does not match is not read at all.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t kStateVersion = 1;
// Limits of what is read back; a real state stays far below them.
constexpr size_t kMaxStateBytes = size_t(256) << 20;
constexpr size_t kMaxStatePathBytes = 128 * 1024;
constexpr size_t kMaxValidatorBytes = 1024;
constexpr size_t kMaxKeyCounters = 64;

// Where a file stands on disk, as a directory listing gives it: a change to its bytes changes at
// least one of these (the change time too when the write time is put back).
struct FileIdentity {
    uint64_t size = 0;
    int64_t lastWrite = 0;  // FILETIME units
    int64_t changed = 0;    // FILETIME units
    std::array<uint8_t, 16> id{};
    bool operator==(const FileIdentity&) const = default;
};

// A file the patcher hashed or wrote, with the digest its bytes had then.
struct FileRecord {
    std::string path;  // as the manifest lists it
    FileIdentity identity;
    std::array<uint8_t, 32> sha256{};
};

// The highest manifest sequence accepted from one signing key.
struct KeyCounter {
    std::array<uint8_t, 8> keyId{};
    uint64_t sequence = 0;
};

// A side file an interrupted download left: the entry it was for and the validator (ETag or
// Last-Modified) of the answer its bytes came from.
struct PartialRecord {
    std::string path;
    uint64_t size = 0;
    std::array<uint8_t, 32> sha256{};
    std::string validator;
};

struct FolderState {
    std::string folder;         // the game folder's full path, UTF-8
    uint32_t volumeSerial = 0;  // of the volume it is on
    int64_t lastFullCheck = 0;  // UTC seconds of the last full check that ran to the end; 0: none
    std::vector<KeyCounter> counters;
    std::vector<FileRecord> files;
    std::vector<PartialRecord> partials;
};

std::string EncodeState(const FolderState& state);

enum class StateRead { Read, Damaged, OtherVersion };
// out is written only when the result is Read.
StateRead DecodeState(std::string_view bytes, FolderState& out);

// A manifest's digest text as bytes; false unless it is 64 hexadecimal digits.
bool DigestBytes(const std::string& hex, std::array<uint8_t, 32>& out);
