#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "Tool.h"
#include "patch/PathRule.h"
#include "text/Text.h"

std::string PathToUtf8(const fs::path& p) {
    std::u8string s = p.generic_u8string();
    return std::string(s.begin(), s.end());
}

fs::path Utf8ToPath(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::string NameProblem(const std::string& path) {
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f) return "holds a control character";
    if (path.find('\\') != std::string::npos) return "holds a backslash";
    if (!IsSafeRelativePath(path)) return "is not a safe relative path (':', '..', a device name or a leading separator)";
    return "";
}

bool ScanRelease(const fs::path& dir, const fs::path& skipDir, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& errors) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        errors.push_back(PathToUtf8(dir) + ": not a directory");
        return false;
    }
    fs::path skip = skipDir.empty() ? fs::path() : fs::weakly_canonical(skipDir, ec);
    fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec), end;
    if (ec) {
        errors.push_back(PathToUtf8(dir) + ": " + ec.message());
        return false;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            errors.push_back(PathToUtf8(dir) + ": " + ec.message());
            return false;
        }
        const fs::directory_entry& entry = *it;
        if (entry.is_directory(ec)) {
            if (!skip.empty() && fs::weakly_canonical(entry.path(), ec) == skip) it.disable_recursion_pending();
            continue;
        }
        std::string rel = PathToUtf8(fs::relative(entry.path(), dir, ec));
        if (!entry.is_regular_file(ec)) {
            errors.push_back(rel + ": not a regular file");
            continue;
        }
        std::string problem = NameProblem(rel);
        if (!problem.empty()) {
            errors.push_back(rel + ": " + problem);
            continue;
        }
        files.push_back({rel, entry.path(), 0, ""});
    }
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });

    // The game folder's file system ignores letter case: "A/x" and "a/X" would be one file.
    std::map<std::string, std::string> seen;
    std::set<std::string> lowerFiles;
    for (const ReleaseFile& f : files) lowerFiles.insert(AsciiLower(f.path));
    for (const ReleaseFile& f : files) {
        std::string lower = AsciiLower(f.path);
        auto [at, fresh] = seen.emplace(lower, f.path);
        if (!fresh) errors.push_back(f.path + ": differs only in letter case from " + at->second);
        for (size_t slash = lower.find('/'); slash != std::string::npos; slash = lower.find('/', slash + 1)) {
            std::string dirPart = lower.substr(0, slash);
            auto [dirAt, dirFresh] = seen.emplace(dirPart + "/", f.path.substr(0, slash));
            if (!dirFresh && dirAt->second != f.path.substr(0, slash))
                errors.push_back(f.path + ": folder differs only in letter case from " + dirAt->second);
            if (lowerFiles.count(dirPart)) errors.push_back(f.path + ": its folder has the name of a file");
        }
    }
    return errors.empty();
}
