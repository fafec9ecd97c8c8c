#pragma once
// The operator's manifest tool: shared records and steps of the build and verify commands.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/Manifest.h"

namespace fs = std::filesystem;

struct ReleaseFile {
    std::string path;  // relative, '/' separators, UTF-8
    fs::path source;
    uint64_t size = 0;
    std::string sha256;
    BlockMapRef map{};  // written with --delta
};

std::string PathToUtf8(const fs::path& p);
fs::path Utf8ToPath(const std::string& text);

// Why the patcher could not take this name as a file of the game folder; empty when it can.
std::string NameProblem(const std::string& path);

// Lists the regular files under dir, sorted by their bytes; refuses names the patcher would pass
// over and names that clash when letter case is ignored. skipDir (the output) is left out.
bool ScanRelease(const fs::path& dir, const fs::path& skipDir, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& errors);

// Files and directories that held listed files in the previous manifest and are gone now,
// along with the previous removals that still apply.
void ComputeRemovals(const PatchManifest& previous, const std::vector<std::string>& currentPaths,
                     std::vector<std::string>& deleteFiles, std::vector<std::string>& deleteDirs);

// False when the text holds a control character, which the document cannot carry unescaped.
bool AppendJsonString(std::string& out, const std::string& value);
bool ManifestText(const std::string& version, const std::vector<ReleaseFile>& files, const std::string& urlPrefix,
                  const std::vector<std::string>& deleteFiles, const std::vector<std::string>& deleteDirs,
                  std::string& text, std::string& error);

// --connections: 1 to kMaxConnections. The "download" member goes in only when it changes anything
// (more than one connection, or resume); a manifest without it is read as one GET at a time.
bool ParseConnections(const std::string& text, unsigned& connections);
bool AddDownloadMember(std::string& text, unsigned connections, bool resume);

bool ReadWholeFile(const fs::path& p, std::string& bytes);
bool ReadManifestFile(const fs::path& p, PatchManifest& manifest, std::string& error);

// Progress on stderr when it is a terminal.
struct Progress {
    bool shown = false;
    uint64_t filesDone = 0, filesTotal = 0, bytesDone = 0, bytesTotal = 0;
};
void ProgressBegin(Progress& p, uint64_t files, uint64_t bytes);
void ProgressAdvance(Progress& p, uint64_t bytes, bool fileDone);
void ProgressEnd(Progress& p);

// Hashes source while copying it to target (when target is not empty); false with a message on failure.
bool HashAndCopy(const fs::path& source, const fs::path& target, Progress& progress, uint64_t& size,
                 std::string& sha256, std::string& error);

// Block maps under outDir/maps for the files of at least minSize bytes already copied to outDir/files;
// fills each such file's map member. The maps folder is replaced.
bool WriteBlockMaps(const fs::path& outDir, uint64_t minSize, std::vector<ReleaseFile>& files, std::string& error);
// Decimal digits only.
bool ParseByteCount(const std::string& text, uint64_t& value);

int RunBuild(const std::vector<std::string>& args);
int RunVerify(const std::vector<std::string>& args);
