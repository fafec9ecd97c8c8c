#include <set>

#include "Tool.h"
#include "text/Text.h"

namespace {

// Every folder above a path: "a/b/c" gives "a" and "a/b".
void AddParents(const std::string& path, std::set<std::string>& out) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        out.insert(path.substr(0, slash));
}

bool UnderAny(const std::string& path, const std::vector<std::string>& dirs) {
    for (const std::string& d : dirs)
        if (path.size() > d.size() && path.compare(0, d.size(), d) == 0 && path[d.size()] == '/') return true;
    return false;
}

}  // namespace

void ComputeRemovals(const PatchManifest& previous, const std::vector<std::string>& currentPaths,
                     std::vector<std::string>& deleteFiles, std::vector<std::string>& deleteDirs) {
    // Compared without letter case: removing "Readme.txt" after "readme.txt" arrived would remove the new file.
    std::set<std::string> liveFiles, liveDirs;
    for (const std::string& p : currentPaths) {
        liveFiles.insert(AsciiLower(p));
        std::set<std::string> parents;
        AddParents(p, parents);
        for (const std::string& d : parents) liveDirs.insert(AsciiLower(d));
    }
    auto alive = [&](const std::string& p) {
        std::string lower = AsciiLower(p);
        return liveFiles.count(lower) || liveDirs.count(lower);
    };

    std::set<std::string> files, dirs;
    for (const ManifestFile& f : previous.files) {
        if (!NameProblem(f.path).empty()) continue;
        if (!alive(f.path)) files.insert(f.path);
        std::set<std::string> parents;
        AddParents(f.path, parents);
        for (const std::string& d : parents)
            if (!alive(d)) dirs.insert(d);
    }
    // Players who skipped the previous release still need its removals.
    for (const std::string& f : previous.delete_files)
        if (NameProblem(f).empty() && !alive(f)) files.insert(f);
    for (const std::string& d : previous.delete_dirs) {
        std::string trimmed = d;
        while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
        if (NameProblem(trimmed).empty() && !alive(trimmed)) dirs.insert(trimmed);
    }

    deleteDirs.clear();
    for (const std::string& d : dirs) {
        if (AsciiLower(d) == "data") continue;  // the client's own data folder is never removed
        if (!UnderAny(d, deleteDirs)) deleteDirs.push_back(d);
    }
    deleteFiles.assign(files.begin(), files.end());
}
