#include <cstdio>
#include <set>

#include "Sha256.h"
#include "Tool.h"
#include "manifest/PathRule.h"
#include "delta/BlockMap.h"

namespace {

constexpr const char* kVerifyHelp =
    "usage: qirell-manifest verify OUT_DIR [--url-prefix PREFIX] [--public-key PUBFILE ...] [--mirrors]\n"
    "                              [--next-dir DIR]\n"
    "\n"
    "Checks a published folder against its manifest.json as players will use it: every path is one a\n"
    "player's Windows folder holds exactly (the same name rules as build, letter case as Windows folds\n"
    "it); every address, resolved as the patcher resolves it, reaches a file in OUT_DIR with the\n"
    "listed size and SHA-256; no removal entry is one the patcher refuses, the game folder itself,\n"
    "data, the patcher's staging folder QirellPatcher.preload, or a listed file; every block map is where its address leads, with its listed size and\n"
    "SHA-256, and describes its entry's file. Absolute addresses are looked for under OUT_DIR/files/: those starting\n"
    "with PREFIX at files/<rest of the address>, others at files/<path> when they end in the path.\n"
    "Each problem is reported; exit code 1 on any.\n"
    "  --public-key FILE   also check manifest.json.sig: made by one of these keys (PEM, repeatable)\n"
    "                      over the exact bytes of manifest.json, and the manifest not expired\n"
    "  --mirrors           also check the \"mirrors\" list: at most 8, each an http:// or https://\n"
    "                      folder address (fetches nothing: whether a mirror holds the files is not checked)\n"
    "A \"next\" release the manifest announces is checked the same way (its absolute addresses only as\n"
    "ending in their paths), one level deep: a relative address is followed on disk from OUT_DIR.\n"
    "When this release is signed (manifest.json.sig, or --public-key given), the next one must be signed\n"
    "too, by a key players' patchers carry (with --public-key: one of those; without: the same key as\n"
    "this release), with a sequence higher than this release's.\n"
    "  --next-dir DIR      the local copy of the next release's output folder, for an absolute address\n";

void CheckFiles(const fs::path& root, const PatchManifest& manifest, const std::string& urlPrefix,
                std::vector<std::string>& problems) {
    std::vector<ReleaseFile> named;
    uint64_t totalBytes = 0;
    for (const ManifestFile& f : manifest.files) totalBytes += f.size;
    Progress progress;
    ProgressBegin(progress, manifest.files.size(), totalBytes);
    for (const ManifestFile& f : manifest.files) {
        const std::string shown = Printable(f.path);
        std::string problem = NameProblem(f.path);
        if (!problem.empty()) {
            problems.push_back(shown + ": " + problem);
            continue;
        }
        named.push_back({f.path, {}, 0, ""});
        std::string local;
        if (!AddressToPublished(f.url, f.path, urlPrefix, local, problem)) {
            problems.push_back(shown + ": address " + Printable(f.url) + " " + problem);
            continue;
        }
        fs::path file = root / Utf8ToPath(local);
        std::error_code ec;
        if (!fs::exists(file, ec)) {
            problems.push_back(shown + ": missing (" + Printable(local) + ")");
            continue;
        }
        if (!fs::is_regular_file(file, ec)) {
            problems.push_back(shown + ": not a regular file (" + Printable(local) + ")");
            continue;
        }
        uint64_t size = 0;
        std::string digest, privateKey, error;
        if (!HashAndCopy(file, fs::path(), progress, size, digest, privateKey, error)) {
            problems.push_back(shown + ": " + error);
            continue;
        }
        if (!privateKey.empty())
            problems.push_back(shown + ": holds " + privateKey + "; every player downloads it");
        if (size != f.size)
            problems.push_back(shown + ": size " + std::to_string(size) + ", manifest says " + std::to_string(f.size));
        if (digest != f.sha256) problems.push_back(shown + ": SHA-256 " + digest + ", manifest says " + f.sha256);
    }
    ProgressEnd(progress);
    CheckCaseClashes(named, problems);
}

// A patcher falls back to the whole file on any of these, so each is a map that saves nobody anything.
void CheckBlockMaps(const fs::path& root, const PatchManifest& manifest, std::vector<std::string>& problems) {
    for (const ManifestFile& f : manifest.files) {
        if (f.map.url.empty()) continue;
        const std::string shown = Printable(f.path) + ": block map " + Printable(f.map.url);
        std::string local, problem, bytes;
        // Maps are addressed beside the manifest, whatever the files' prefix.
        if (f.map.url.find("://") != std::string::npos) {
            problems.push_back(shown + ": not an address beside the manifest, as build writes it");
            continue;
        }
        if (!AddressToPublished(f.map.url, f.path + ".qbm", "", local, problem)) {
            problems.push_back(shown + ": " + problem);
            continue;
        }
        std::error_code ec;
        const uint64_t onDisk = fs::file_size(root / Utf8ToPath(local), ec);
        if (!ec && onDisk != f.map.size) {
            problems.push_back(shown + ": size " + std::to_string(onDisk) + ", manifest says " + std::to_string(f.map.size));
            continue;
        }
        if (ec || !ReadWholeFile(root / Utf8ToPath(local), bytes)) {
            problems.push_back(shown + ": missing (" + Printable(local) + ")");
            continue;
        }
        if (bytes.size() != f.map.size || Sha256Hex(bytes) != f.map.sha256) {
            problems.push_back(shown + ": size or SHA-256 differs from the manifest's");
            continue;
        }
        BlockMap map;
        std::string why;
        if (!ReadBlockMap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), map, why)) {
            problems.push_back(shown + ": " + why);
            continue;
        }
        if (map.fileSize != f.size || HexLower(map.fileSha256, sizeof map.fileSha256) != f.sha256)
            problems.push_back(shown + ": describes another file than the entry");
    }
}

void CheckRemovals(const PatchManifest& manifest, std::vector<std::string>& problems) {
    std::set<std::string> listed;
    for (const ManifestFile& f : manifest.files) listed.insert(FoldCase(ResolveRelativePath(f.path)));
    auto check = [&](const char* list, const std::string& entry, bool tree) {
        const std::string shown = std::string(list) + ": " + Printable(entry);
        if (!IsSafeRelativePath(entry)) return problems.push_back(shown + ": the patcher refuses it");
        if (InStagingFolder(entry)) return problems.push_back(shown + ": " + StagingProblem());
        if (!IsRemovableEntry(entry)) return problems.push_back(shown + ": names the game folder itself or data");
        const std::string folded = FoldCase(ResolveRelativePath(entry));
        for (const std::string& l : listed)
            if (l == folded || (tree && l.compare(0, folded.size() + 1, folded + "/") == 0))
                return problems.push_back(shown + ": removes a listed file after it is brought in");
    };
    for (const std::string& f : manifest.delete_files) check("delete_files", f, false);
    for (const std::string& d : manifest.delete_dirs) check("delete_dirs", d, true);
}

}  // namespace

void VerifyPublished(const fs::path& root, const std::string& urlPrefix, std::vector<std::string>& problems) {
    PatchManifest manifest;
    std::string error;
    if (!ReadManifestFile(root / "manifest.json", manifest, error)) {
        problems.push_back(error);
        return;
    }
    if (manifest.files.empty()) problems.push_back("manifest.json: lists no files; the patcher rejects it");
    CheckFiles(root, manifest, urlPrefix, problems);
    CheckBlockMaps(root, manifest, problems);
    CheckRemovals(manifest, problems);
}

int RunVerify(const std::vector<std::string>& args) {
    std::string dir, prefix, nextDir;
    std::vector<std::string> publicKeys;
    bool mirrors = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--mirrors") {
            mirrors = true;
            continue;
        }
        if (a == "--public-key" && i + 1 < args.size()) {
            publicKeys.push_back(args[++i]);
            continue;
        }
        if (a == "--help" || a == "-h") {
            std::fputs(kVerifyHelp, stdout);
            return 0;
        }
        if (a == "--next-dir" && i + 1 < args.size() && !args[i + 1].empty()) {
            nextDir = args[++i];
            continue;
        }
        if (a == "--url-prefix" && i + 1 < args.size()) {
            prefix = args[++i];
            continue;
        }
        if ((!a.empty() && a[0] == '-') || !dir.empty()) {
            std::fputs(kVerifyHelp, stderr);
            return 2;
        }
        dir = a;
    }
    if (dir.empty()) {
        std::fputs(kVerifyHelp, stderr);
        return 2;
    }
    fs::path root = Utf8ToPath(dir);
    std::vector<std::string> problems;
    VerifyPublished(root, prefix, problems);
    std::string text;
    if (mirrors && ReadWholeFile(root / "manifest.json", text)) CheckMirrors(text, problems);
    if (!publicKeys.empty())
        CheckPublishedSignature(root, prefix, publicKeys, [&](const std::string& p) { problems.push_back(p); });
    VerifyNextRelease(root, nextDir, publicKeys, mirrors, problems);
    for (const std::string& p : problems) std::printf("%s\n", p.c_str());
    if (problems.empty()) {
        std::fprintf(stderr, "qirell-manifest: every entry of %s checks out\n", PathToUtf8(root / "manifest.json").c_str());
        return 0;
    }
    std::fprintf(stderr, "qirell-manifest: %zu problem(s)\n", problems.size());
    return 1;
}
