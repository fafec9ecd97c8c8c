#include <windows.h>

#include "base/Handle.h"
#include "base/StatusBoard.h"
#include "patch/PathRule.h"
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
    const DWORD a = GetFileAttributesW(dir.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return true;
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveLink(dir, a);
        return GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES;
    }

    WIN32_FIND_DATAW found;
    UniqueFind search(FindFirstFileW((dir + L"\\*").c_str(), &found));
    if (search) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = dir + L"\\" + name;
            const DWORD ca = found.dwFileAttributes;
            if (ca & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveLink(child, ca);
            } else if (ca & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ClearReadOnly(child, ca);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search.get(), &found));
    }
    search.reset();

    ClearReadOnly(dir, a);
    return RemoveDirectoryW(dir.c_str()) != FALSE;
}

void RemoveListed(const RunState& run) {
    for (const std::wstring& path : run.filesToRemove) {
        const DWORD a = GetFileAttributesW(path.c_str());
        if (a != INVALID_FILE_ATTRIBUTES) ClearReadOnly(path, a);
        DeleteFileW(path.c_str());
    }
    for (const std::wstring& dir : run.dirsToRemove) RemoveTree(dir);
}

void PublishCompletion(const RunState& run) {
    const std::wstring versionText = Utf8ToWide(run.manifest.version);
    if (run.toDownload.empty()) {
        UpdateStatus(L"ตัวเกมเป็นเวอร์ชันล่าสุดแล้ว พร้อมเข้าเกม!",
                     L"เวอร์ชันแพตช์: " + versionText + L" · ตรวจสอบไฟล์ครบถ้วน", 1000);
        return;
    }
    // Built without a length limit so a long version text is shown whole.
    UpdateStatus(L"อัปเดตเสร็จสมบูรณ์ พร้อมเข้าเกม!",
                 L"เวอร์ชันแพตช์: " + versionText + L" · อัปเดต " + std::to_wstring(run.toDownload.size()) +
                     L" ไฟล์เรียบร้อยแล้ว",
                 1000);
}
