#include <windows.h>

#include <string>
#include <vector>

#include "base/Handle.h"
#include "base/StatusBoard.h"
#include "manifest/PathRule.h"
#include "patch/RunState.h"
#include "text/Text.h"

namespace {

void ClearReadOnly(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

// A junction or symbolic link is removed as the link itself; its target is never entered.
void RemoveLink(const std::wstring& path, DWORD attributes) {
    ClearReadOnly(path, attributes);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path.c_str());
    else
        DeleteFileW(path.c_str());
}

// Paths beyond MAX_PATH need the \\?\ form of the full path, which Windows takes as it is: the full
// path is resolved once here, and every name below it is appended unchanged.
std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) return path;
    const std::wstring full = FullPath(path);
    if (full.empty()) return path;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace

void SelectRemovals(RunState& run) {
    for (const std::string& text : run.manifest.delete_dirs) {
        if (!IsRemovableEntry(text)) continue;
        const std::wstring dir = ToLocalPath(text);
        const DWORD a = GetFileAttributesW(dir.c_str());
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) run.dirsToRemove.push_back(dir);
    }
    for (const std::string& text : run.manifest.delete_files) {
        if (!IsRemovableEntry(text)) continue;
        const std::wstring file = ToLocalPath(text);
        const DWORD a = GetFileAttributesW(file.c_str());
        if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY)) run.filesToRemove.push_back(file);
    }
}

bool RemoveTree(const std::wstring& dir) {
    const std::wstring root = ExtendedPath(dir);
    const DWORD a = GetFileAttributesW(root.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return true;
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveLink(root, a);
        return GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES;
    }

    // Depth first on an explicit stack, so no tree is too deep: a directory is emptied the first time it
    // comes to the top and removed the second time, after everything pushed above it is gone.
    struct Pending {
        std::wstring path;
        DWORD attributes;
        bool emptied;
    };
    std::vector<Pending> stack{{root, a, false}};
    bool removed = false;
    while (!stack.empty()) {
        if (stack.back().emptied) {
            const Pending& done = stack.back();
            ClearReadOnly(done.path, done.attributes);
            const bool ok = RemoveDirectoryW(done.path.c_str()) != FALSE;
            if (stack.size() == 1) removed = ok;
            stack.pop_back();
            continue;
        }
        stack.back().emptied = true;
        const std::wstring path = stack.back().path;
        WIN32_FIND_DATAW found;
        UniqueFind search(FindFirstFileW((path + L"\\*").c_str(), &found));
        if (!search) continue;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            const DWORD ca = found.dwFileAttributes;
            if (ca & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveLink(child, ca);
            } else if (ca & FILE_ATTRIBUTE_DIRECTORY) {
                stack.push_back({std::move(child), ca, false});
            } else {
                ClearReadOnly(child, ca);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search.get(), &found));
    }
    return removed;
}

void RemoveListed(const RunState& run) {
    for (const std::wstring& path : run.filesToRemove) {
        const DWORD a = GetFileAttributesW(path.c_str());
        if (a != INVALID_FILE_ATTRIBUTES) ClearReadOnly(path, a);
        DeleteFileW(path.c_str());
    }
    for (const std::wstring& dir : run.dirsToRemove) RemoveTree(dir);
}
