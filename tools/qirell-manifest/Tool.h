#pragma once
// The operator's manifest tool: shared records and steps of the build and verify commands.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
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

// Names (Names.cpp). Why a player's Windows folder could not hold this release path exactly as it
// is written (reserved characters, trailing dots or spaces, device names, invalid UTF-8, names the
// patcher's path rule refuses); empty when it can.
std::string NameProblem(const std::string& path);
bool IsValidUtf8(const std::string& text);
// True when the path, resolved as Windows resolves it, is the patcher's staging folder or lies in it,
// its letters compared as FoldCase compares them; StagingProblem says so.
bool InStagingFolder(const std::string& path);
std::string StagingProblem();
size_t Utf16Length(const std::string& text);
// The text with control bytes and bytes that are not UTF-8 shown as \xNN, for messages.
std::string Printable(const std::string& text);
// Upper-cases letters as Windows compares names (simple one-to-one mapping of BMP letters in the
// Latin, Greek, Cyrillic and Armenian blocks and full-width Latin); other bytes stay as they are.
std::string FoldCase(const std::string& text);

// Addresses (Address.cpp). The path with every byte that would not reach the server unchanged
// written as %XX.
std::string EscapePath(const std::string& path);
// The url member build writes for a path: prefix + escaped path, or "files/" + escaped path when
// escaping changed it; empty when the reader's default "files/" + path reaches the file.
std::string FileAddress(const std::string& path, const std::string& urlPrefix);
// Where in the published folder the server finds the file that the patcher requests for an entry
// (relative addresses under the folder; absolute ones under files/); false with the reason.
bool AddressToPublished(const std::string& url, const std::string& path, const std::string& urlPrefix,
                        std::string& local, std::string& problem);
// True for an http:// or https:// address.
bool IsAbsoluteAddress(const std::string& url);
// The path part of an address (before any '?') as the server decodes it; false with the reason at a
// '?' or '#', a bad %XX escape or a byte that would not travel unchanged.
bool DecodeAddressPath(const std::string& text, std::string& decoded, std::string& problem);

// The files under dir, sorted by their bytes. Links are followed (the bytes they lead to are
// published under the link's name); broken links, link loops, special files and names a player's
// folder could not hold are refused. Folders in skipDirs (the output) are left out.
bool ScanRelease(const fs::path& dir, const std::vector<fs::path>& skipDirs, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& errors);
// Paths that would be one file or folder in a player's folder, which ignores letter case.
void CheckCaseClashes(const std::vector<ReleaseFile>& files, std::vector<std::string>& errors);

struct Removals {
    std::vector<std::string> deleteFiles, deleteDirs;
    std::vector<std::string> warnings;  // previous entries not carried on
    std::vector<std::string> errors;    // refused --remove-dir entries, files and folders swapped for each other
};
// delete_files: files of the previous manifest (and its delete_files) that are gone now.
// delete_dirs: only folders named by the operator (namedDirs), and the previous manifest's when it
// marks them as named; never the folder itself, data, or a folder holding a file of this release.
void ComputeRemovals(const PatchManifest& previous, bool previousDirsNamed, const std::vector<std::string>& currentPaths,
                     const std::vector<std::string>& namedDirs, Removals& out);

// False when the text holds a control character, which the document cannot carry unescaped.
bool AppendJsonString(std::string& out, const std::string& value);
bool ManifestText(const std::string& version, const std::vector<ReleaseFile>& files, const std::string& urlPrefix,
                  const std::vector<std::string>& deleteFiles, const std::vector<std::string>& deleteDirs,
                  std::string& text, std::string& error);

// True when the document marks its delete_dirs as named by an operator ("delete_dirs_named": true).
bool DeleteDirsNamed(const std::string& text);
// --connections: 1 to kMaxConnections. The "download" member goes in only when it changes anything
// (more than one connection, or resume); a manifest without it is read as one GET at a time.
bool ParseConnections(const std::string& text, unsigned& connections);
bool AddDownloadMember(std::string& text, unsigned connections, bool resume);
// --mirror: why base cannot be a mirror (an http:// or https:// address with a host and a folder
// path ending in '/', no query); empty when it can.
std::string MirrorProblem(const std::string& base);
// The "mirrors" member, when there are any.
bool AddMirrorsMember(std::string& text, const std::vector<std::string>& mirrors);
// verify --mirrors: the manifest text's "mirrors" member as written, each base checked; nothing fetched.
void CheckMirrors(const std::string& manifestText, std::vector<std::string>& problems);
// --reuse-verified [--full-check-days N]: the "check" member, written only with reuse on; days 0 leaves
// the patcher's default out of the document.
bool ParseFullCheckDays(const std::string& text, unsigned& days);
bool AddCheckMember(std::string& text, bool reuseVerified, unsigned fullCheckDays);
// One per file that players under Wine cannot download whole: over 2 GiB without --resume, or too
// big for the resumed attempts.
std::vector<std::string> WholeDownloadWarnings(const std::vector<ReleaseFile>& files, bool resume);

// The next release (Next.cpp): --next URL [--while-playing] [--max-kib-per-s N], for build and announce.
struct NextOptions {
    std::string url;          // empty: none given
    bool whilePlaying = false;
    unsigned maxKibPerS = 0;  // 0: not given (the patcher's default)
};
// Why url cannot be a next release's address (http:// or https://, or relative to the manifest's own
// address); empty when it can.
std::string NextUrlProblem(const std::string& url);
// True when args[i] is one of the options above (i then past its value); problem set when refused.
bool TakeNextOption(const std::vector<std::string>& args, size_t& i, NextOptions& next, std::string& problem);
// Why the options given do not go together; empty when they do.
std::string NextOptionsProblem(const NextOptions& next);
// The root object's members in order, each from its name's opening quote to the end of its value, and
// where its closing brace is; false when the text is not an object the reader can walk.
struct MemberSpan {
    std::string name;
    size_t start = 0, end = 0;
};
bool RootMembers(const std::string& text, std::vector<MemberSpan>& members, size_t& closeAt);
// True when the root object has a member of that name, whatever its value.
bool HasRootMember(const std::string& text, const std::string& name);
// Takes every root member of that name out of the text, leaving the rest byte for byte.
bool RemoveRootMembers(std::string& text, const std::string& name);
// Replaces the "next" member (none when next is null); the rest of the text stays as it was.
bool SetNextMember(std::string& text, const NextOptions* next);
// Where the manifest announced as url lies on disk: relative addresses against outDir (the folder of
// the announcing manifest.json), absolute ones in nextDir; false with the reason.
bool NextManifestOnDisk(const fs::path& outDir, const std::string& url, const std::string& nextDir, fs::path& manifest,
                        std::string& problem);
// True when a relative url leads back to outDir/manifest.json, which would be its own next release.
bool NextLeadsBack(const fs::path& outDir, const std::string& url);
// verify's part for the next release (VerifyNext.cpp): checks the release root's manifest announces,
// one level deep, as verify checks root; every problem goes into problems.
void VerifyNextRelease(const fs::path& root, const std::string& nextDir, const std::vector<std::string>& publicKeys,
                       bool mirrors, std::vector<std::string>& problems);

bool ReadWholeFile(const fs::path& p, std::string& bytes);
bool WriteWholeFile(const fs::path& p, const std::string& bytes);
// Renames temp over target, giving it target's permissions when target exists; false with the reason,
// temp removed.
bool MoveOver(const fs::path& temp, const fs::path& target, std::string& error);
// WriteWholeFile(temp) and MoveOver(temp, target).
bool ReplaceFile(const fs::path& target, const fs::path& temp, const std::string& bytes, std::string& error);
bool ReadManifestFile(const fs::path& p, PatchManifest& manifest, std::string& error, std::string* text = nullptr);

// Progress on stderr when it is a terminal.
struct Progress {
    bool shown = false;
    uint64_t filesDone = 0, filesTotal = 0, bytesDone = 0, bytesTotal = 0;
};
void ProgressBegin(Progress& p, uint64_t files, uint64_t bytes);
void ProgressAdvance(Progress& p, uint64_t bytes, bool fileDone);
void ProgressEnd(Progress& p);

// Private keys in a file's bytes (PrivateKeys.cpp): PEM of every label (PKCS#8 plain and encrypted,
// RSA, EC, OpenSSH, PGP...), OpenSSH's and PuTTY's own formats, and a file that begins as a DER key.
struct PrivateKeyScan {
    std::string carry;  // the tail of the bytes seen so far
    uint64_t seen = 0;
    std::string found;  // what kind of key, empty while none
};
void ScanForPrivateKey(PrivateKeyScan& scan, const char* data, size_t size);
void FinishPrivateKeyScan(PrivateKeyScan& scan);

// Hashes source while copying it to target (when target is not empty), looking for a private key in
// the same pass (privateKey: its kind, empty when none); false with a message on failure.
bool HashAndCopy(const fs::path& source, const fs::path& target, Progress& progress, uint64_t& size,
                 std::string& sha256, std::string& privateKey, std::string& error);

// Checks a published folder as players will use it; every problem found goes into problems.
void VerifyPublished(const fs::path& root, const std::string& urlPrefix, std::vector<std::string>& problems);
// Block maps under outDir/maps for the files of at least minSize bytes already copied to outDir/files
// (none past 2 TiB, which no map can describe); fills each such file's map member. The maps folder is replaced.
bool WriteBlockMaps(const fs::path& outDir, uint64_t minSize, std::vector<ReleaseFile>& files, std::string& error);
// Decimal digits only.
bool ParseByteCount(const std::string& text, uint64_t& value);

int RunBuild(const std::vector<std::string>& args);
int RunAnnounce(const std::vector<std::string>& args);
int RunVerify(const std::vector<std::string>& args);

// Signing (Sign.cpp) and stamping (Stamp.cpp).
int RunKeygen(const std::vector<std::string>& args);
int RunSign(const std::vector<std::string>& args);
int RunStamp(const std::vector<std::string>& args);
// --expires-days: 1 to 99999.
bool ParseExpiresDays(const std::string& text, int& days);
// Puts "expires" (now + days, UTC) first into the root object of the manifest text.
bool AddExpiry(std::string& manifestText, int days, std::string& error);
// Puts "sequence" first into the root object of the manifest text.
bool AddSequence(std::string& manifestText, uint64_t sequence, std::string& error);
// The sequence a signed build writes: given (--sequence), else one more than the previous manifest's
// (previousText, empty when there is none), else the build's UTC time in seconds. False with the reason
// when the previous one cannot be read or cannot be raised.
bool ChooseSequence(const std::optional<uint64_t>& given, const std::string& previousText, int64_t now,
                    uint64_t& sequence, std::string& error);
// Signs outDir/manifest.json into manifest.json.sig; with no key file, removes a stale signature.
// Refused, with nothing written, when a patcher the manifest lists lacks the signing key.
bool SignPublishedManifest(const fs::path& outDir, const std::string& keyFile, std::string& error);
// Checks outDir's manifest.json.sig against the keys (PEM files), the manifest's expiry and the keys
// of the patcher it lists; the number of problems.
unsigned CheckPublishedSignature(const fs::path& root, const std::string& urlPrefix,
                                 const std::vector<std::string>& publicKeyFiles,
                                 const std::function<void(const std::string&)>& problem);
