#include <algorithm>
#include <map>
#include <set>

#include "Tool.h"

std::string PathToUtf8(const fs::path& p) {
    std::u8string s = p.generic_u8string();
    return std::string(s.begin(), s.end());
}

fs::path Utf8ToPath(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

namespace {

struct Scan {
    std::vector<fs::path> skip;   // canonical: the output and its staging folders
    std::vector<fs::path> open;   // canonical: the folders being listed, outermost first
    std::vector<ReleaseFile>& files;
    std::vector<std::string>& errors;
};

bool Contains(const fs::path& outer, const fs::path& inner) {
    auto o = outer.begin(), i = inner.begin();
    for (; o != outer.end(); ++o, ++i)
        if (i == inner.end() || *o != *i) return false;
    return true;
}

void ScanFolder(Scan& s, const fs::path& dir, const std::string& relDir) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
    if (ec) {
        s.errors.push_back((relDir.empty() ? PathToUtf8(dir) : Printable(relDir)) + ": cannot be listed: " + ec.message());
        return;
    }
    for (const fs::directory_entry& entry : entries) {
        const std::string name = PathToUtf8(entry.path().filename());
        const std::string rel = relDir.empty() ? name : relDir + "/" + name;
        const bool link = entry.is_symlink(ec);
        fs::file_status st = fs::status(entry.path(), ec);
        if (link && (ec || !fs::exists(st))) {
            s.errors.push_back(Printable(rel) + ": a link that leads nowhere (" +
                               PathToUtf8(fs::read_symlink(entry.path(), ec)) + ")");
            continue;
        }
        if (ec) {
            s.errors.push_back(Printable(rel) + ": " + ec.message());
            continue;
        }
        if (fs::is_directory(st)) {
            fs::path real = fs::canonical(entry.path(), ec);
            if (ec) {
                s.errors.push_back(Printable(rel) + ": " + ec.message());
                continue;
            }
            if (std::find(s.skip.begin(), s.skip.end(), real) != s.skip.end()) continue;
            bool loop = false;
            for (const fs::path& o : s.open) loop = loop || Contains(real, o);
            if (loop) {
                s.errors.push_back(Printable(rel) + ": a link back to a folder that holds it (" + PathToUtf8(real) +
                                   "), a loop");
                continue;
            }
            std::string problem = NameProblem(rel);
            if (!problem.empty()) {
                s.errors.push_back(Printable(rel) + ": " + problem);
                continue;
            }
            s.open.push_back(real);
            ScanFolder(s, entry.path(), rel);
            s.open.pop_back();
        } else if (fs::is_regular_file(st)) {
            s.files.push_back({rel, entry.path(), 0, ""});
        } else {
            s.errors.push_back(Printable(rel) + ": not a file or folder (a device, pipe or socket)");
        }
    }
}

}  // namespace

bool ScanRelease(const fs::path& dir, const std::vector<fs::path>& skipDirs, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& errors) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        errors.push_back(PathToUtf8(dir) + ": not a directory");
        return false;
    }
    Scan s{{}, {fs::canonical(dir, ec)}, files, errors};
    for (const fs::path& p : skipDirs) s.skip.push_back(fs::weakly_canonical(p, ec));
    ScanFolder(s, dir, "");
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    for (const ReleaseFile& f : files) {
        std::string problem = NameProblem(f.path);
        if (!problem.empty()) errors.push_back(Printable(f.path) + ": " + problem);
    }
    if (errors.empty()) CheckCaseClashes(files, errors);
    return errors.empty();
}

void CheckCaseClashes(const std::vector<ReleaseFile>& files, std::vector<std::string>& errors) {
    // A player's folder ignores letter case as Windows folds it: "Ä/x" and "ä/X" would be one file.
    std::map<std::string, std::string> seen;
    std::set<std::string> foldedFiles;
    for (const ReleaseFile& f : files) foldedFiles.insert(FoldCase(f.path));
    for (const ReleaseFile& f : files) {
        std::string folded = FoldCase(f.path);
        auto [at, fresh] = seen.emplace(folded, f.path);
        if (!fresh)
            errors.push_back(f.path + (at->second == f.path ? ": listed twice" : ": differs only in letter case from " + at->second));
        for (size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1)) {
            std::string dirPart = FoldCase(f.path.substr(0, slash));
            auto [dirAt, dirFresh] = seen.emplace(dirPart + "/", f.path.substr(0, slash));
            if (!dirFresh && dirAt->second != f.path.substr(0, slash))
                errors.push_back(f.path + ": folder differs only in letter case from " + dirAt->second);
            if (foldedFiles.count(dirPart)) errors.push_back(f.path + ": its folder has the name of a file");
        }
    }
}
