#include <cstdio>
#include <set>

#include "Tool.h"
#include "text/Text.h"

namespace {

constexpr const char* kVerifyHelp =
    "usage: qirell-manifest verify OUT_DIR [--public-key PUBFILE ...]\n"
    "\n"
    "Checks a published folder against its manifest.json: every listed file present under the\n"
    "address the patcher will use, with the listed size and SHA-256. Files with an absolute address\n"
    "are looked for under OUT_DIR/files/<path>. Each difference is reported; exit code 1 on any.\n"
    "  --public-key FILE   also check manifest.json.sig: made by one of these keys (PEM, repeatable)\n"
    "                      over the exact bytes of manifest.json, and the manifest not expired\n";

void Report(const std::string& message) { std::fprintf(stdout, "%s\n", message.c_str()); }

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

int RunVerify(const std::vector<std::string>& args) {
    std::string dir;
    std::vector<std::string> publicKeys;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--public-key" && i + 1 < args.size()) {
            publicKeys.push_back(args[++i]);
            continue;
        }
        if (a == "--help" || a == "-h") {
            std::fputs(kVerifyHelp, stdout);
            return 0;
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
    PatchManifest manifest;
    std::string error;
    if (!ReadManifestFile(root / "manifest.json", manifest, error)) {
        Report(error);
        return 1;
    }
    unsigned problems = 0;
    auto problem = [&](const std::string& text) {
        Report(text);
        ++problems;
    };
    if (manifest.files.empty()) problem("manifest.json: lists no files; the patcher rejects it");
    if (!publicKeys.empty()) problems += CheckPublishedSignature(root, publicKeys, Report);

    std::set<std::string> seen;
    uint64_t totalBytes = 0;
    for (const ManifestFile& f : manifest.files) totalBytes += f.size;
    Progress progress;
    ProgressBegin(progress, manifest.files.size(), totalBytes);
    for (const ManifestFile& f : manifest.files) {
        std::string name = NameProblem(f.path);
        if (!name.empty()) {
            problem(f.path + ": " + name + "; the patcher passes it over");
            continue;
        }
        if (!seen.insert(AsciiLower(f.path)).second) problem(f.path + ": listed twice (letter case ignored)");
        std::string local = f.url;
        if (StartsWith(f.url, "http://") || StartsWith(f.url, "https://")) {
            local = "files/" + f.path;
        } else if (!NameProblem(f.url).empty()) {
            problem(f.path + ": address " + f.url + " leaves the published folder");
            continue;
        }
        fs::path file = root / Utf8ToPath(local);
        std::error_code ec;
        if (!fs::exists(file, ec)) {
            problem(f.path + ": missing (" + local + ")");
            continue;
        }
        if (!fs::is_regular_file(file, ec)) {
            problem(f.path + ": not a regular file (" + local + ")");
            continue;
        }
        uint64_t size = 0;
        std::string digest;
        if (!HashAndCopy(file, fs::path(), progress, size, digest, error)) {
            problem(f.path + ": " + error);
            continue;
        }
        if (size != f.size)
            problem(f.path + ": size " + std::to_string(size) + ", manifest says " + std::to_string(f.size));
        if (digest != f.sha256) problem(f.path + ": SHA-256 " + digest + ", manifest says " + f.sha256);
    }
    ProgressEnd(progress);
    for (const std::string& d : manifest.delete_dirs)
        if (!NameProblem(d).empty() || AsciiLower(d) == "data") problem("delete_dirs: " + d + ": the patcher passes it over");
    for (const std::string& d : manifest.delete_files)
        if (!NameProblem(d).empty()) problem("delete_files: " + d + ": the patcher passes it over");
    if (problems == 0) {
        std::fprintf(stderr, "qirell-manifest: %zu files match %s\n", manifest.files.size(),
                     PathToUtf8(root / "manifest.json").c_str());
        return 0;
    }
    std::fprintf(stderr, "qirell-manifest: %u difference(s)\n", problems);
    return 1;
}
