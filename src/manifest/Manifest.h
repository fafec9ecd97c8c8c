#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A file's block map for delta updates ("delta" member of an entry); empty url when there is none.
struct BlockMapRef {
    std::string url;
    uint64_t size = 0;
    std::string sha256;
};

struct ManifestFile {
    std::string path;
    std::string url;
    uint64_t size = 0;
    std::string sha256;
    BlockMapRef map{};
};

constexpr unsigned kMaxConnections = 8;
constexpr unsigned kDefaultFullCheckDays = 7;
constexpr unsigned kDefaultPreloadKibPerS = 512;
constexpr unsigned kMaxPreloadKibPerS = 1u << 20;
constexpr unsigned kMaxFullCheckDays = 3650;

struct PatchManifest {
    std::string version;
    std::vector<std::string> delete_dirs;
    std::vector<std::string> delete_files;
    std::vector<ManifestFile> files;
    // Optional "download" member: {"connections": 1..8, "resume": true}. Absent, the files come one
    // GET at a time in manifest order with no retries.
    unsigned connections = 1;
    bool resume = false;
    // Optional "mirrors" member: http(s) folders that serve the same files, tried in order before the
    // manifest's own folder for every relative file and map address. Absent or empty: only that folder.
    std::vector<std::string> mirrors;
    // Optional "check" member: {"reuse_verified": true, "full_check_days": N}. With it, a file whose
    // size, times and file ID are those recorded when it was last verified is not read again, and
    // every file is hashed once N days have passed since the last full check. Absent, every file is
    // hashed on every run.
    bool reuseVerified = false;
    unsigned fullCheckDays = kDefaultFullCheckDays;
    // Optional "next" member: {"url": ..., "while_playing": true, "max_kib_per_s": N}, the release that
    // follows this one, announced so that its files can be fetched ahead. An empty url: none announced.
    struct Next {
        std::string url;  // absolute, or relative to this manifest's address
        bool whilePlaying = false;
        unsigned maxKibPerS = kDefaultPreloadKibPerS;
    } next;
};

constexpr size_t kMaxMirrors = 8;

bool ParseManifest(const std::string& text, PatchManifest& manifest);
std::wstring ResolveFileUrl(const std::wstring& manifestUrl, const std::wstring& entryUrl);
