#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ManifestFile {
    std::string path;
    std::string url;
    uint64_t size = 0;
    std::string sha256;
};

struct PatchManifest {
    std::string version;
    std::vector<std::string> delete_dirs;
    std::vector<std::string> delete_files;
    std::vector<ManifestFile> files;
    // Optional "download" member: {"connections": 1..8, "resume": true}. Absent, the files come one
    // GET at a time in manifest order with no retries.
    unsigned connections = 1;
    bool resume = false;
};

constexpr unsigned kMaxConnections = 8;

bool ParseManifest(const std::string& text, PatchManifest& manifest);
std::wstring ResolveFileUrl(const std::wstring& manifestUrl, const std::wstring& entryUrl);
