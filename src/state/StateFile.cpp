#include "state/StateFile.h"

#include <windows.h>

#include <cwchar>

#include "base/Handle.h"
#include "digest/Sha256Core.h"
#include "state/StateNames.h"
#include "text/Hex.h"
#include "text/Text.h"
#include "text/Utf8.h"

namespace {

constexpr size_t kWriteChunk = 1u << 20;

bool ReadAll(const std::wstring& path, std::string& bytes, bool& missing) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    missing = !file && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > kMaxStateBytes)
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(bytes.size() - done > (1u << 30) ? (1u << 30) : bytes.size() - done);
        if (!ReadFile(file.get(), bytes.data() + done, want, &read, nullptr) || read == 0) return false;
        done += read;
    }
    return true;
}

}  // namespace

std::wstring DefaultStateFolder() {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, static_cast<DWORD>(std::size(buffer)));
    if (n == 0 || n >= std::size(buffer)) return {};
    return std::wstring(buffer, n) + L"\\" + kStateFolderNameW;
}

bool IdentifyFolder(const std::wstring& folder, FolderIdentity& out) {
    const std::wstring full = FullPath(folder);
    if (full.empty()) return false;
    UniqueFile dir(CreateFileW(full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!dir || !GetFileInformationByHandle(dir.get(), &info)) return false;
    out.fullPath = WideToUtf8(full);
    out.volumeSerial = info.dwVolumeSerialNumber;
    return true;
}

std::wstring StateFilePath(const std::wstring& stateFolder, const FolderIdentity& folder) {
    // Windows folds letter case in paths: C:\Games\Qx and c:\games\QX are one folder, one state.
    std::wstring folded = Utf8ToWide(folder.fullPath);
    if (!folded.empty()) CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    std::string key = WideToUtf8(folded);
    for (int i = 0; i < 4; ++i) key.push_back(static_cast<char>(folder.volumeSerial >> (8 * i)));
    uint8_t digest[32];
    Sha256Of(key.data(), key.size(), digest);
    return stateFolder + L"\\" + Utf8ToWide(kStatePrefix) + Utf8ToWide(HexLower(digest, kStateIdDigits / 2)) +
           Utf8ToWide(kStateSuffix);
}

StateLoad LoadFolderState(const std::wstring& path, const FolderIdentity& folder, FolderState& out,
                          std::string* bytesRead) {
    out = FolderState{};
    out.folder = folder.fullPath;
    out.volumeSerial = folder.volumeSerial;
    std::string bytes;
    bool missing = false;
    if (!ReadAll(path, bytes, missing)) return missing ? StateLoad::Missing : StateLoad::Damaged;
    FolderState read;
    switch (DecodeState(bytes, read)) {
    case StateRead::Damaged: return StateLoad::Damaged;
    case StateRead::OtherVersion: return StateLoad::OtherVersion;
    case StateRead::Read: break;
    }
    // A state copied from elsewhere, or a name shared by chance, describes files this folder may not hold.
    if (read.folder != folder.fullPath || read.volumeSerial != folder.volumeSerial) return StateLoad::OtherFolder;
    out = std::move(read);
    if (bytesRead) *bytesRead = std::move(bytes);
    return StateLoad::Loaded;
}

bool SaveFolderState(const std::wstring& path, const FolderState& state) {
    return SaveStateBytes(path, EncodeState(state));
}

bool SaveStateBytes(const std::wstring& path, const std::string& bytes) {
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    const std::wstring temp = path + Utf8ToWide(kStateTempSuffix);
    {
        // No sharing: a second patcher on the same folder writing at the same moment fails here, and
        // its state is simply not kept this time.
        UniqueFile file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!file) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD wrote = 0;
            const DWORD want = static_cast<DWORD>(bytes.size() - done > kWriteChunk ? kWriteChunk : bytes.size() - done);
            if (!WriteFile(file.get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0) break;
            done += wrote;
        }
        // The bytes must be on the disk before the name points at them, or a power cut could leave a
        // state of zeros under the real name.
        if (done != bytes.size() || !FlushFileBuffers(file.get())) {
            file.reset();
            DeleteFileW(temp.c_str());
            return false;
        }
    }
    if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    DeleteFileW(temp.c_str());
    return false;
}
