#include <cstdint>
#include <cstdio>
#include <fstream>

#include "Tool.h"

namespace {

constexpr const char* kBuildHelp =
    "usage: qirell-manifest build RELEASE_DIR --version TEXT [--previous OLD_MANIFEST]\n"
    "                             [--url-prefix PREFIX] [--connections N] [--resume]\n"
    "                             [--delta [--delta-min-size BYTES]] -o OUT_DIR\n"
    "\n"
    "Writes OUT_DIR/manifest.json for every file under RELEASE_DIR and copies the files to\n"
    "OUT_DIR/files/<path>, where the patcher looks for them next to the manifest.\n"
    "  --version TEXT          version text shown to players\n"
    "  --previous FILE         the manifest now published: files and folders that are gone since\n"
    "                          go into delete_files and delete_dirs\n"
    "  --url-prefix PREFIX     give each file the address PREFIX + path (a CDN, for instance)\n"
    "  --connections N         players' patchers download up to N files at once (1 to 8)\n"
    "  --resume                a dropped download continues with a Range request (the server\n"
    "                          must answer Range requests)\n"
    "  --delta                 also write block maps to OUT_DIR/maps/ so that patchers fetch only\n"
    "                          the changed parts of large files (the server must answer Range requests)\n"
    "  --delta-min-size BYTES  smallest file that gets a block map (default 1048576)\n"
    "  -o OUT_DIR              output folder; its files/ and maps/ folders are replaced\n"
    "Names the patcher would pass over, or that differ only in letter case, are refused.\n";

void Fail(const std::string& message) { std::fprintf(stderr, "qirell-manifest: %s\n", message.c_str()); }

}  // namespace

int RunBuild(const std::vector<std::string>& args) {
    std::string release, version, previous, prefix, out, connectionsText;
    bool haveVersion = false;
    unsigned connections = 1;
    bool resume = false;
    bool delta = false, haveMinSize = false;
    uint64_t deltaMinSize = 1 << 20;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kBuildHelp, stdout);
            return 0;
        } else if (a == "--version") {
            ok = value(version);
            haveVersion = ok;
        } else if (a == "--previous") {
            ok = value(previous) && !previous.empty();
        } else if (a == "--url-prefix") {
            ok = value(prefix);
        } else if (a == "--connections") {
            ok = value(connectionsText);
            if (ok && !ParseConnections(connectionsText, connections)) {
                Fail("build: --connections takes a number from 1 to 8, not " + connectionsText);
                return 2;
            }
        } else if (a == "--resume") {
            resume = true;
        } else if (a == "--delta") {
            delta = true;
        } else if (a == "--delta-min-size") {
            std::string text;
            ok = value(text) && ParseByteCount(text, deltaMinSize);
            haveMinSize = true;
        } else if (a == "-o" || a == "--output") {
            ok = value(out) && !out.empty();
        } else if (!a.empty() && a[0] == '-') {
            Fail("build: unknown option " + a);
            std::fputs(kBuildHelp, stderr);
            return 2;
        } else if (release.empty()) {
            release = a;
        } else {
            Fail("build: more than one release folder given (" + a + ")");
            std::fputs(kBuildHelp, stderr);
            return 2;
        }
        if (!ok) {
            Fail("build: " + a + (a == "--delta-min-size" ? " needs a byte count" : " needs a value"));
            std::fputs(kBuildHelp, stderr);
            return 2;
        }
    }
    if (release.empty() || out.empty() || !haveVersion) {
        std::fputs(kBuildHelp, stderr);
        return 2;
    }
    if (haveMinSize && !delta) {
        Fail("build: --delta-min-size has no effect without --delta");
        return 2;
    }

    fs::path releaseDir = Utf8ToPath(release), outDir = Utf8ToPath(out);
    std::error_code ec;
    fs::path canonRelease = fs::weakly_canonical(releaseDir, ec), canonOut = fs::weakly_canonical(outDir, ec);
    // The release inside the output would be replaced while it is read.
    for (fs::path p = canonRelease; !p.empty(); p = p.parent_path()) {
        if (p == canonOut) {
            Fail("build: the release folder must not lie inside the output folder");
            return 2;
        }
        if (p == p.parent_path()) break;
    }

    std::vector<ReleaseFile> files;
    std::vector<std::string> errors;
    if (!ScanRelease(releaseDir, outDir, files, errors)) {
        for (const std::string& e : errors) Fail(e);
        Fail("build: nothing written");
        return 1;
    }
    if (files.empty()) {
        Fail("build: " + release + " holds no files; the patcher rejects an empty manifest");
        return 1;
    }

    PatchManifest old;
    std::vector<std::string> deleteFiles, deleteDirs;
    if (!previous.empty()) {
        std::string error;
        if (!ReadManifestFile(Utf8ToPath(previous), old, error)) {
            Fail(error);
            return 1;
        }
        std::vector<std::string> paths;
        for (const ReleaseFile& f : files) paths.push_back(f.path);
        ComputeRemovals(old, paths, deleteFiles, deleteDirs);
    }

    fs::path filesDir = outDir / "files";
    fs::remove_all(filesDir, ec);
    if (ec) {
        Fail(PathToUtf8(filesDir) + ": cannot be cleared: " + ec.message());
        return 1;
    }
    uint64_t totalBytes = 0;
    for (ReleaseFile& f : files) totalBytes += fs::file_size(f.source, ec);
    Progress progress;
    ProgressBegin(progress, files.size(), totalBytes);
    for (ReleaseFile& f : files) {
        std::string error;
        if (!HashAndCopy(f.source, filesDir / Utf8ToPath(f.path), progress, f.size, f.sha256, error)) {
            ProgressEnd(progress);
            Fail(error);
            return 1;
        }
    }
    ProgressEnd(progress);
    {
        std::string error;
        if (!WriteBlockMaps(outDir, delta ? deltaMinSize : UINT64_MAX, files, error)) {
            Fail(error);
            return 1;
        }
    }

    std::string text, error;
    if (!ManifestText(version, files, prefix, deleteFiles, deleteDirs, text, error)) {
        Fail(error);
        return 1;
    }
    if (!AddDownloadMember(text, connections, resume)) {
        Fail("build: the download options could not be written");
        return 1;
    }
    // Written last and renamed into place, so a failed run never publishes a half manifest.
    fs::path target = outDir / "manifest.json", temp = outDir / "manifest.json.tmp";
    {
        std::ofstream o(temp, std::ios::binary | std::ios::trunc);
        o.write(text.data(), static_cast<std::streamsize>(text.size()));
        o.close();
        if (!o) {
            Fail(PathToUtf8(temp) + ": cannot be written");
            return 1;
        }
    }
    fs::rename(temp, target, ec);
    if (ec) {
        Fail(PathToUtf8(target) + ": " + ec.message());
        return 1;
    }
    std::fprintf(stderr, "qirell-manifest: %zu files, %llu bytes, %zu files and %zu folders to remove -> %s\n",
                 files.size(), static_cast<unsigned long long>(progress.bytesDone), deleteFiles.size(),
                 deleteDirs.size(), PathToUtf8(target).c_str());
    return 0;
}
