// What a release asks players' folders to lose. Files only, unless the operator names a folder:
// a player's folders also hold what the player made there.
#include <set>

#include "Tool.h"
#include "manifest/PathRule.h"

namespace {

// Every folder above a path: "a/b/c" gives "a" and "a/b".
void AddParents(const std::string& path, std::set<std::string>& out) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        out.insert(path.substr(0, slash));
}

struct Live {
    std::set<std::string> files, dirs;  // case-folded
};

Live LiveNames(const std::vector<std::string>& currentPaths) {
    Live live;
    for (const std::string& p : currentPaths) {
        live.files.insert(FoldCase(p));
        std::set<std::string> parents;
        AddParents(p, parents);
        for (const std::string& d : parents) live.dirs.insert(FoldCase(d));
    }
    return live;
}

// Why an entry may not go into delete_dirs; the resolved form in `resolved` when it may.
std::string DirProblem(const std::string& dir, const std::vector<std::string>& currentPaths, std::string& resolved) {
    if (!IsSafeRelativePath(dir)) return "is refused by the patcher's path rule";
    resolved = ResolveRelativePath(dir);
    if (resolved.empty()) return "is the game folder itself";
    if (InStagingFolder(resolved)) return StagingProblem();
    if (!IsRemovableEntry(dir)) return "is the client's data folder";
    std::string problem = NameProblem(resolved);
    if (!problem.empty()) return problem;
    const std::string folded = FoldCase(resolved);
    for (const std::string& p : currentPaths) {
        const std::string fp = FoldCase(p);
        if (fp == folded) return "is a file of this release";
        if (fp.compare(0, folded.size() + 1, folded + "/") == 0) return "holds " + p + " of this release";
    }
    return "";
}

}  // namespace

void ComputeRemovals(const PatchManifest& previous, bool previousDirsNamed, const std::vector<std::string>& currentPaths,
                     const std::vector<std::string>& namedDirs, Removals& out) {
    out = Removals{};
    const Live live = LiveNames(currentPaths);
    auto alive = [&](const std::string& p) {
        std::string folded = FoldCase(p);
        return live.files.count(folded) || live.dirs.count(folded);
    };
    // The patcher brings files in before it removes anything, and cannot put a file where a folder
    // is or a folder where a file is.
    std::set<std::string> swapped;
    for (const ManifestFile& f : previous.files) {
        if (!NameProblem(f.path).empty()) continue;
        if (live.dirs.count(FoldCase(f.path)))
            swapped.insert(f.path + ": a file in the previous release and a folder in this one; publish a release "
                           "without either first, which removes the file");
        std::set<std::string> parents;
        AddParents(f.path, parents);
        for (const std::string& d : parents)
            if (live.files.count(FoldCase(d)))
                swapped.insert(d + ": a folder in the previous release (" + f.path +
                               ") and a file in this one; publish a release without either first, naming the "
                               "folder with --remove-dir");
    }
    out.errors.assign(swapped.begin(), swapped.end());

    std::set<std::string> files;
    auto addFile = [&](const std::string& path, const char* from) {
        std::string problem = NameProblem(path);
        if (!problem.empty())
            out.warnings.push_back(std::string(from) + " " + Printable(path) + ": " + problem + "; not carried");
        else if (!alive(path))
            files.insert(path);
    };
    for (const ManifestFile& f : previous.files) addFile(f.path, "previous file");
    // Players who skipped the previous release still need its removals.
    for (const std::string& f : previous.delete_files) addFile(f, "previous delete_files entry");

    std::set<std::string> dirs, folded;
    auto addDir = [&](const std::string& resolved) {
        if (folded.insert(FoldCase(resolved)).second) dirs.insert(resolved);
    };
    for (const std::string& d : namedDirs) {
        std::string resolved, problem = DirProblem(d, currentPaths, resolved);
        if (problem.empty())
            addDir(resolved);
        else
            out.errors.push_back("--remove-dir " + Printable(d) + ": " + problem);
    }
    for (const std::string& d : previous.delete_dirs) {
        std::string resolved, problem = DirProblem(d, currentPaths, resolved);
        if (!previousDirsNamed)
            out.warnings.push_back("previous delete_dirs entry " + Printable(d) +
                                   ": not named by an operator (an older tool's automatic entry); not carried, "
                                   "name it with --remove-dir to keep removing it");
        else if (!problem.empty())
            out.warnings.push_back("previous delete_dirs entry " + Printable(d) + ": " + problem + "; not carried");
        else
            addDir(resolved);
    }
    out.deleteFiles.assign(files.begin(), files.end());
    out.deleteDirs.assign(dirs.begin(), dirs.end());
}
