#include <windows.h>

#include <cstdio>

#include "client/OptionFile.h"

namespace {

constexpr wchar_t kSaveDataDir[] = L"savedata";
constexpr wchar_t kOptionFile[] = L"savedata\\OptionInfo.lua";
constexpr wchar_t kShowNameMarker[] = L"savedata\\showname-v3.done";
constexpr wchar_t kOptionSideFile[] = L"savedata\\OptionInfo.lua.patch.tmp";

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

void TouchMarker() {
    if (FILE* f = _wfopen(kShowNameMarker, L"wb")) fclose(f);
}

// Writes the whole text beside the option file and swaps it in only when every byte got there,
// so a full disk or a failed write never leaves a truncated option file.
bool ReplaceOptionFile(const std::string& text) {
    FILE* f = _wfopen(kOptionSideFile, L"wb");
    if (!f) return false;
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = fclose(f) == 0;
    if (written && closed &&
        MoveFileExW(kOptionSideFile, kOptionFile, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(kOptionSideFile);
    return false;
}

}  // namespace

void FixOptionFile() {
    CreateDirectoryW(kSaveDataDir, nullptr);
    if (!Exists(kOptionFile)) {
        if (!ReplaceOptionFile(DefaultOptionFile())) return;
        TouchMarker();
        return;
    }

    FILE* f = _wfopen(kOptionFile, L"rb");
    if (!f) return;
    long long size = -1;
    if (_fseeki64(f, 0, SEEK_END) == 0) size = _ftelli64(f);
    if (size <= 0 || size >= 65536) {
        fclose(f);
        return;
    }
    _fseeki64(f, 0, SEEK_SET);
    std::string content(static_cast<size_t>(size), '\0');
    fread(content.data(), 1, content.size(), f);
    fclose(f);

    const bool markerExists = Exists(kShowNameMarker);
    const bool changed = RepairOptionText(content, markerExists);
    if (!markerExists) TouchMarker();
    if (changed) ReplaceOptionFile(content);
}
