#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Keys.h"
#include "Stamp.h"
#include "Tool.h"
#include "trust/Sequence.h"
#ifdef _WIN32
#include "base/Handle.h"
#endif
#ifdef __linux__
#include <fcntl.h>
#include <stdio.h>
#endif

namespace {

constexpr const char* kBuildHelp =
    "usage: qirell-manifest build RELEASE_DIR --version TEXT [--previous OLD_MANIFEST]\n"
    "                             [--remove-dir PATH]... [--url-prefix PREFIX]\n"
    "                             [--connections N] [--resume] [--delta [--delta-min-size BYTES]]\n"
    "                             [--mirror URL]... [--reuse-verified [--full-check-days N]]\n"
    "                             [--next URL [--while-playing [--max-kib-per-s N]]]\n"
    "                             [--sign KEYFILE [--expires-days N] [--sequence N]]\n"
    "                             -o OUT_DIR\n"
    "\n"
    "Writes OUT_DIR/manifest.json for every file under RELEASE_DIR and copies the files to\n"
    "OUT_DIR/files/<path>, where the patcher looks for them next to the manifest.\n"
    "  --version TEXT          version text shown to players\n"
    "  --previous FILE         the manifest now published: its files that are gone go into\n"
    "                          delete_files, with its own delete_files; its delete_dirs are carried\n"
    "                          only when an operator named them\n"
    "  --remove-dir PATH       remove the folder PATH and everything in it from players' folders\n"
    "                          (repeatable; never the game folder itself or data)\n"
    "  --url-prefix PREFIX     give each file the address PREFIX + escaped path (a CDN, for instance)\n"
    "  --connections N         players' patchers download up to N files at once (1 to 8)\n"
    "  --resume                a dropped download continues with a Range request (the server\n"
    "                          must answer Range requests)\n"
    "  --mirror URL            a folder that serves the same files/ (and maps/): players' patchers try\n"
    "                          each mirror in order, then the folder of the manifest (repeatable, up to 8)\n"
    "  --delta                 also write block maps to OUT_DIR/maps/ so that patchers fetch only\n"
    "                          the changed parts of large files (the server must answer Range requests)\n"
    "  --delta-min-size BYTES  smallest file that gets a block map (default 1048576)\n"
    "  --reuse-verified        players' patchers do not read again a file whose size, times and file\n"
    "                          ID are those they recorded when they last verified it (a fast start)\n"
    "  --full-check-days N     with --reuse-verified: every file is hashed again once N days have\n"
    "                          passed since the last full check (1 to 3650; the patcher's default is 7)\n"
    "  --next URL              announce the release that follows this one: its manifest's address,\n"
    "                          http:// or https://, or relative to this manifest's (../next/manifest.json);\n"
    "                          players' patchers fetch its changed files ahead (see 'announce --help')\n"
    "  --while-playing         with --next: patchers go on fetching ahead while the game runs\n"
    "  --max-kib-per-s N       with --while-playing: at most N KiB/s then (1 to 1048576; default 512)\n"
    "  --sign KEYFILE          write OUT_DIR/manifest.json.sig, a signature by this private key\n"
    "  --expires-days N        with --sign: patchers that check signatures refuse the manifest\n"
    "                          N days from now (member \"expires\", UTC)\n"
    "  --sequence N            with --sign: the release's sequence (0 to 2^53); patchers that check\n"
    "                          signatures refuse a lower one from the same key. Without it: one more\n"
    "                          than the --previous manifest's, else the build's UTC time in seconds\n"
    "  -o OUT_DIR              output folder, replaced whole once the new one is complete and checked;\n"
    "                          it may hold only what this tool writes there\n"
    "Names a player's Windows folder cannot hold exactly, names that differ only in letter case,\n"
    "names the patcher keeps for itself (QirellPatcher.preload at the top, its staging folder),\n"
    "broken links and link loops are refused before anything is written. Links are followed.\n";

void Fail(const std::string& message) { std::fprintf(stderr, "qirell-manifest: %s\n", message.c_str()); }

struct BuildOptions {
    std::string release, version, previous, urlPrefix, out, signKey;
    std::vector<std::string> removeDirs;
    std::vector<std::string> mirrors;
    bool haveVersion = false;
    int expiresDays = 0;
    unsigned connections = 1;
    bool resume = false;
    bool delta = false, haveMinSize = false;
    uint64_t deltaMinSize = 1 << 20;
    bool reuseVerified = false;
    unsigned fullCheckDays = 0;  // 0: the patcher's default
    std::optional<uint64_t> sequence;
    NextOptions next;
};

// The places one build touches: the output and, beside it, the folder it is built in and the folder
// the replaced output moves to for a moment.
struct Places {
    fs::path release, out, staging, retired;
};

// Entries of an output folder that a build writes; anything else there is not the tool's to replace.
const std::vector<std::string> kPublishedEntries = {"manifest.json", "manifest.json.sig", "files", "maps"};

int Usage(const std::string& message) {
    if (!message.empty()) Fail("build: " + message);
    std::fputs(kBuildHelp, stderr);
    return 2;
}

// -1 when the options are complete, else the exit code.
int ParseBuildArgs(const std::vector<std::string>& args, BuildOptions& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into, bool mayBeEmpty = false) {
            if (i + 1 >= args.size() || (!mayBeEmpty && args[i + 1].empty())) return false;
            into = args[++i];
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kBuildHelp, stdout);
            return 0;
        } else if (a == "--version") {
            ok = o.haveVersion = value(o.version, true);
        } else if (a == "--previous") {
            ok = value(o.previous);
        } else if (a == "--remove-dir") {
            std::string dir;
            ok = value(dir);
            o.removeDirs.push_back(dir);
        } else if (a == "--url-prefix") {
            ok = value(o.urlPrefix);
        } else if (a == "--connections") {
            std::string text;
            ok = value(text);
            if (ok && !ParseConnections(text, o.connections))
                return Usage("--connections takes a number from 1 to 8, not " + text);
        } else if (a == "--resume") {
            o.resume = true;
        } else if (a == "--mirror") {
            std::string base;
            ok = value(base);
            if (ok && !MirrorProblem(base).empty()) return Usage("--mirror " + Printable(base) + ": " + MirrorProblem(base));
            if (ok && o.mirrors.size() == kMaxMirrors) return Usage("at most 8 mirrors");
            if (ok && base.find_first_of("\"\\") != std::string::npos) return Usage("--mirror " + base + ": quote or backslash");
            o.mirrors.push_back(base);
        } else if (a == "--delta") {
            o.delta = true;
        } else if (a == "--delta-min-size") {
            std::string text;
            ok = value(text);
            if (ok && !ParseByteCount(text, o.deltaMinSize)) return Usage("--delta-min-size takes a byte count");
            o.haveMinSize = true;
        } else if (a == "--sign") {
            ok = value(o.signKey);
        } else if (a == "--expires-days") {
            std::string days;
            ok = value(days);
            if (ok && !ParseExpiresDays(days, o.expiresDays))
                return Usage("--expires-days takes a whole number of days from 1 to 99999");
        } else if (a == "--reuse-verified") {
            o.reuseVerified = true;
        } else if (a == "--full-check-days") {
            std::string text;
            ok = value(text);
            if (ok && !ParseFullCheckDays(text, o.fullCheckDays))
                return Usage("--full-check-days takes a whole number of days from 1 to 3650, not " + text);
        } else if (a == "--sequence") {
            std::string text;
            ok = value(text);
            uint64_t n = 0;
            if (ok && (!ParseByteCount(text, n) || text.size() > 16 || n > kMaxSequence))
                return Usage("--sequence takes a whole number from 0 to 9007199254740992, not " + text);
            o.sequence = n;
        } else if (std::string problem; TakeNextOption(args, i, o.next, problem)) {
            if (!problem.empty()) return Usage(problem);
        } else if (a == "-o" || a == "--output") {
            ok = value(o.out);
        } else if (!a.empty() && a[0] == '-') {
            return Usage("unknown option " + a);
        } else if (o.release.empty()) {
            o.release = a;
        } else {
            return Usage("more than one release folder given (" + a + ")");
        }
        if (!ok) return Usage(a + " needs a value");
    }
    if (o.release.empty() || o.out.empty() || !o.haveVersion) return Usage("");
    if (o.expiresDays > 0 && o.signKey.empty()) return Usage("--expires-days needs --sign");
    if (o.haveMinSize && !o.delta) return Usage("--delta-min-size has no effect without --delta");
    if (o.fullCheckDays && !o.reuseVerified) return Usage("--full-check-days has no effect without --reuse-verified");
    if (o.sequence && o.signKey.empty()) return Usage("--sequence needs --sign");
    if (const std::string problem = NextOptionsProblem(o.next); !problem.empty()) return Usage(problem);
    return -1;
}

bool PlanPlaces(const BuildOptions& o, Places& p) {
    std::error_code ec;
    p.release = fs::weakly_canonical(Utf8ToPath(o.release), ec);
    p.out = fs::weakly_canonical(fs::absolute(Utf8ToPath(o.out), ec), ec);
    if (p.out.filename().empty()) p.out = p.out.parent_path();
    if (ec || p.out == p.out.root_path()) {
        Fail("build: " + o.out + ": not a usable output folder");
        return false;
    }
    // The release inside the output would be replaced while it is read.
    for (fs::path r = p.release; !r.empty(); r = r.parent_path()) {
        if (r == p.out) {
            Fail("build: the release folder must not lie inside the output folder");
            return false;
        }
        if (r == r.parent_path()) break;
    }
    const std::string name = PathToUtf8(p.out.filename());
    p.staging = p.out.parent_path() / Utf8ToPath("." + name + ".staging");
    p.retired = p.out.parent_path() / Utf8ToPath("." + name + ".replaced");
    if (!fs::exists(p.out, ec)) return true;
    if (!fs::is_directory(p.out, ec)) {
        Fail("build: " + PathToUtf8(p.out) + ": not a folder");
        return false;
    }
    bool ok = true;
    for (fs::directory_iterator it(p.out, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path e = it->path();
        const std::string entry = PathToUtf8(e.filename());
        // Temporary files of older versions of the tool, and of a sign or announce that was killed.
        bool ours = entry == "manifest.json.tmp" || entry == "manifest.json.sig.tmp";
        for (const std::string& k : kPublishedEntries) ours = ours || entry == k;
        if (!ours) {
            Fail("build: " + PathToUtf8(e) +
                 ": not written by this tool; the output folder is replaced whole, so move it elsewhere");
            ok = false;
        }
    }
    if (ec) Fail("build: " + PathToUtf8(p.out) + ": " + ec.message());
    return ok && !ec;
}

// The signing key is never published: neither inside the release folder nor reached from it
// through a link (or as the same file under another name).
bool KeyStaysOutside(const BuildOptions& o, const Places& p, const std::vector<ReleaseFile>& files) {
    if (o.signKey.empty()) return true;
    std::error_code ec;
    const fs::path key = fs::weakly_canonical(fs::absolute(Utf8ToPath(o.signKey), ec), ec);
    for (fs::path r = key.parent_path(); !ec && !r.empty(); r = r.parent_path()) {
        if (r == p.release) {
            Fail("build: the signing key " + o.signKey + " lies inside the release folder " + o.release +
                 ", so every player would download it; move it out of the release (and keep it off the update server)");
            return false;
        }
        if (r == r.parent_path()) break;
    }
    for (const ReleaseFile& f : files) {
        if (!fs::equivalent(f.source, key, ec)) continue;
        Fail("build: " + PathToUtf8(f.source) + " is the signing key " + o.signKey +
             " (a link to it or the same file), so every player would download it; take it out of the release");
        return false;
    }
    return true;
}

// Players' patchers that check signatures install the release's patcher only when it carries the
// signing key; refused here rather than found out by every player.
bool PatcherCarriesSigningKey(const BuildOptions& o, const std::vector<ReleaseFile>& files) {
    if (o.signKey.empty()) return true;
    KeyId id;
    std::string error;
    if (!SigningKeyId(o.signKey, id, error)) {
        Fail("build: " + error);
        return false;
    }
    bool ok = true;
    for (const ReleaseFile& f : files) {
        if (!IsReleasePatcher(f.path)) continue;
        const std::string problem = PatcherKeyProblem(f.source, PathToUtf8(f.source), id);
        if (!problem.empty()) Fail("build: " + problem);
        ok = ok && problem.empty();
    }
    return ok;
}

// Classic Windows paths end at 259 characters (drive, folders, name); longer ones need long paths
// turned on in Windows. The patcher adds its side-file suffix while a file downloads.
void WarnLongPaths(const std::vector<ReleaseFile>& files) {
    for (const ReleaseFile& f : files) {
        const size_t units = Utf16Length(f.path) + 10;
        if (units <= 200) continue;
        const long room = 259L - static_cast<long>(units) - 1;
        Fail("warning: " + f.path + ": " + std::to_string(units - 10) + " characters long; " +
             (room > 3 ? "players whose game folder path is longer than " + std::to_string(room) +
                             " characters need long paths turned on in Windows"
                       : "every player needs long paths turned on in Windows"));
    }
}

bool PlanRemovals(const BuildOptions& o, const std::vector<ReleaseFile>& files, Removals& removals) {
    PatchManifest old;
    bool oldDirsNamed = false;
    if (!o.previous.empty()) {
        std::string error, text;
        if (!ReadManifestFile(Utf8ToPath(o.previous), old, error, &text)) {
            Fail(error);
            return false;
        }
        oldDirsNamed = DeleteDirsNamed(text);
    }
    std::vector<std::string> paths;
    for (const ReleaseFile& f : files) paths.push_back(f.path);
    ComputeRemovals(old, oldDirsNamed, paths, o.removeDirs, removals);
    for (const std::string& w : removals.warnings) Fail("warning: " + w);
    for (const std::string& e : removals.errors) Fail(e);
    return removals.errors.empty();
}

// Removes a whole tree, listing each folder before anything in it goes (Wine's listing loses its
// place when entries vanish under it).
#ifdef _WIN32
// Win32 calls on the \\?\ form, so paths past 260 characters go too; links are removed, not entered.
void RemoveEntries(const std::wstring& p, std::error_code& ec) {
    const DWORD a = GetFileAttributesW(p.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(p.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    BOOL removed;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::vector<std::wstring> children;
        WIN32_FIND_DATAW found;
        UniqueFind search(FindFirstFileW((p + L"\\*").c_str(), &found));
        if (search) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") children.push_back(p + L"\\" + name);
            } while (FindNextFileW(search.get(), &found));
        }
        search.reset();
        for (const std::wstring& c : children) RemoveEntries(c, ec);
        removed = RemoveDirectoryW(p.c_str());
    } else {
        removed = (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(p.c_str()) : DeleteFileW(p.c_str());
    }
    if (!removed && !ec) ec = std::error_code(static_cast<int>(GetLastError()), std::system_category());
}

void RemoveTree(const fs::path& dir, std::error_code& ec) {
    ec.clear();
    std::wstring full = fs::absolute(dir, ec).make_preferred().wstring();
    if (!ec) RemoveEntries(L"\\\\?\\" + full, ec);
}
#else
void RemoveEntries(const fs::path& p, std::error_code& ec) {
    std::error_code e;
    const fs::file_status st = fs::symlink_status(p, e);
    if (e || !fs::exists(st)) return;
    if (fs::is_directory(st)) {
        std::vector<fs::path> children;
        for (fs::directory_iterator it(p, e), end; !e && it != end; it.increment(e)) children.push_back(it->path());
        if (e && !ec) ec = e;
        for (const fs::path& c : children) RemoveEntries(c, ec);
    }
    fs::remove(p, e);
    if (e && !ec) ec = e;
}

void RemoveTree(const fs::path& dir, std::error_code& ec) {
    ec.clear();
    RemoveEntries(dir, ec);
}
#endif

// An empty staging folder with its files/ folder.
bool MakeStaging(const Places& p) {
    std::error_code ec;
    RemoveTree(p.staging, ec);  // left by a build that was killed
    if (ec || !fs::create_directories(p.staging / "files", ec)) {
        Fail(PathToUtf8(p.staging) + ": cannot be created: " + (ec ? ec.message() : "it is still there"));
        return false;
    }
    return true;
}

// Copies every file to files/<path>, filling in its size and digest from the bytes copied. A file
// that holds a private key fails the copy (each one named) after every file has been looked at.
bool CopyFiles(const Places& p, std::vector<ReleaseFile>& files, Progress& progress) {
    uint64_t totalBytes = 0;
    for (const ReleaseFile& f : files) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(f.source, ec);
        if (!ec) totalBytes += size;
    }
    ProgressBegin(progress, files.size(), totalBytes);
    std::vector<std::string> keyFiles;
    for (ReleaseFile& f : files) {
        std::string error, privateKey;
        if (!HashAndCopy(f.source, p.staging / "files" / Utf8ToPath(f.path), progress, f.size, f.sha256, privateKey,
                         error)) {
            ProgressEnd(progress);
            Fail(error);
            return false;
        }
        if (!privateKey.empty())
            keyFiles.push_back(PathToUtf8(f.source) + ": holds " + privateKey +
                               ", which every player would download; a release must never carry a private key");
    }
    ProgressEnd(progress);
    for (const std::string& k : keyFiles) Fail("build: " + k);
    return keyFiles.empty();
}

bool WriteMaps(const BuildOptions& o, const Places& p, std::vector<ReleaseFile>& files) {
    if (!o.delta) return true;
    std::string error;
    if (WriteBlockMaps(p.staging, o.deltaMinSize, files, error)) return true;
    Fail(error);
    return false;
}

bool WriteManifest(const BuildOptions& o, const Places& p, const std::vector<ReleaseFile>& files,
                   const Removals& removals) {
    std::string text, error, previousText;
    uint64_t sequence = 0;
    if (!o.signKey.empty() && !o.previous.empty() && !ReadWholeFile(Utf8ToPath(o.previous), previousText)) {
        Fail("build: " + o.previous + ": cannot be read");
        return false;
    }
    if (!o.signKey.empty() && !ChooseSequence(o.sequence, previousText, static_cast<int64_t>(std::time(nullptr)),
                                              sequence, error)) {
        Fail("build: " + error);
        return false;
    }
    if (!ManifestText(o.version, files, o.urlPrefix, removals.deleteFiles, removals.deleteDirs, text, error) ||
        !AddDownloadMember(text, o.connections, o.resume) || !AddMirrorsMember(text, o.mirrors) ||
        !AddCheckMember(text, o.reuseVerified, o.fullCheckDays) ||
        (!o.next.url.empty() && !SetNextMember(text, &o.next)) ||
        (o.expiresDays > 0 && !AddExpiry(text, o.expiresDays, error)) ||
        (!o.signKey.empty() && !AddSequence(text, sequence, error))) {
        if (error.empty()) error = "build: the download options could not be written";
        Fail(error);
        return false;
    }
    if (!WriteWholeFile(p.staging / "manifest.json", text)) {
        Fail(PathToUtf8(p.staging / "manifest.json") + ": cannot be written");
        return false;
    }
    // Signed in the staging folder, so the signature goes live together with its manifest.
    if (!o.signKey.empty() && !SignPublishedManifest(p.staging, o.signKey, error)) {
        Fail("build: " + error);
        return false;
    }
    return true;
}

// The staging folder read back as players will use it.
bool CheckStaged(const BuildOptions& o, const Places& p) {
    std::vector<std::string> problems;
    VerifyPublished(p.staging, o.urlPrefix, problems);
    for (const std::string& problem : problems) Fail("check of the new output: " + problem);
    return problems.empty();
}

bool SwapFolders(const fs::path& a, const fs::path& b) {
#ifdef __linux__
    // One step for a server reading the output: the old folder is never missing.
    if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
#endif
    (void)a;
    (void)b;
    return false;
}

// The staging folder takes the output's place; the old output is removed only after that.
bool Publish(const Places& p) {
    std::error_code ec;
    if (!fs::exists(p.out, ec)) {
        fs::rename(p.staging, p.out, ec);
        if (ec) Fail(PathToUtf8(p.out) + ": " + ec.message());
        return !ec;
    }
    fs::permissions(p.staging, fs::status(p.out, ec).permissions(), ec);
    if (SwapFolders(p.staging, p.out)) {
        RemoveTree(p.staging, ec);
        if (ec) Fail("warning: the replaced output " + PathToUtf8(p.staging) + " could not be removed: " + ec.message());
        return true;
    }
    RemoveTree(p.retired, ec);
    fs::rename(p.out, p.retired, ec);
    if (ec) {
        Fail(PathToUtf8(p.out) + ": cannot be moved aside: " + ec.message());
        return false;
    }
    fs::rename(p.staging, p.out, ec);
    if (ec) {
        Fail(PathToUtf8(p.out) + ": cannot be put in place: " + ec.message());
        std::error_code back;
        fs::rename(p.retired, p.out, back);
        if (back) {
            // Neither folder may be deleted now: say where both are and stop here.
            Fail("build: the previous output could not be put back either: it is " + PathToUtf8(p.retired) +
                 ", the new one " + PathToUtf8(p.staging) + "; rename one of them to " + PathToUtf8(p.out));
            std::exit(1);
        }
        return false;
    }
    RemoveTree(p.retired, ec);
    if (ec) Fail("warning: the replaced output " + PathToUtf8(p.retired) + " could not be removed: " + ec.message());
    return true;
}

}  // namespace

int RunBuild(const std::vector<std::string>& args) {
    BuildOptions o;
    if (int code = ParseBuildArgs(args, o); code >= 0) return code;
    Places places;
    if (!PlanPlaces(o, places)) return 2;
    if (!o.next.url.empty() && NextLeadsBack(places.out, o.next.url)) {
        Fail("build: --next " + o.next.url + " leads back to the manifest it is written into");
        return 2;
    }

    std::vector<ReleaseFile> files;
    std::vector<std::string> errors;
    if (!ScanRelease(Utf8ToPath(o.release), {places.out, places.staging, places.retired}, files, errors)) {
        for (const std::string& e : errors) Fail(e);
        Fail("build: nothing written");
        return 1;
    }
    if (files.empty()) {
        Fail("build: " + o.release + " holds no files; the patcher rejects an empty manifest");
        return 1;
    }
    if (!KeyStaysOutside(o, places, files) || !PatcherCarriesSigningKey(o, files)) {
        Fail("build: nothing written");
        return 1;
    }
    if (!o.signKey.empty() && o.expiresDays == 0)
        Fail("warning: --sign without --expires-days: this signature never expires, so whoever keeps a copy of the "
             "manifest can serve it to players again at any time; add --expires-days N");
    WarnLongPaths(files);
    for (const std::string& w : WholeDownloadWarnings(files, o.resume)) Fail("warning: " + w);
    Removals removals;
    if (!PlanRemovals(o, files, removals)) {
        Fail("build: nothing written");
        return 1;
    }
    Progress progress;
    // Everything of the new output goes into the staging folder and is checked there first.
    if (!MakeStaging(places) || !CopyFiles(places, files, progress) || !WriteMaps(o, places, files) ||
        !WriteManifest(o, places, files, removals) ||
        !CheckStaged(o, places) || !Publish(places)) {
        std::error_code ec;
        RemoveTree(places.staging, ec);
        Fail("build: the output is left as it was");
        return 1;
    }
    std::fprintf(stderr, "qirell-manifest: %zu files, %llu bytes, %zu files and %zu folders to remove -> %s\n",
                 files.size(), static_cast<unsigned long long>(progress.bytesDone), removals.deleteFiles.size(),
                 removals.deleteDirs.size(), PathToUtf8(places.out / "manifest.json").c_str());
    return 0;
}
