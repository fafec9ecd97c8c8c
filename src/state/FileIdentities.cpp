#include "state/FileIdentities.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <unordered_map>

#include "base/Handle.h"

namespace {

using Listing = std::unordered_map<std::wstring, FileIdentity>;

std::wstring Folded(const wchar_t* name, size_t length) {
    std::wstring s(name, length);
    if (!s.empty()) CharUpperBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

// The file ID of either class, 128 or 64 bits, in 16 bytes.
template <typename Info>
std::array<uint8_t, 16> IdOf(const Info& e) {
    std::array<uint8_t, 16> id{};
    std::memcpy(id.data(), &e.FileId, sizeof e.FileId);
    return id;
}

// Walks the entries of one buffer filled by GetFileInformationByHandleEx.
template <typename Info>
void AddAll(const uint8_t* buffer, Listing& out) {
    for (const uint8_t* at = buffer;;) {
        Info e;
        std::memcpy(&e, at, sizeof e);  // the names run past the struct; only its fixed part is copied
        const auto* name = reinterpret_cast<const wchar_t*>(at + offsetof(Info, FileName));
        if (!(e.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            FileIdentity identity;
            identity.size = static_cast<uint64_t>(e.EndOfFile.QuadPart);
            identity.lastWrite = e.LastWriteTime.QuadPart;
            identity.changed = e.ChangeTime.QuadPart;
            identity.id = IdOf(e);
            out[Folded(name, e.FileNameLength / sizeof(wchar_t))] = identity;
        }
        if (e.NextEntryOffset == 0) break;
        at += e.NextEntryOffset;
    }
}

// The 128-bit file IDs where the system has them (Windows 8 and later, ReFS needs them); the
// 64-bit ones of the older class otherwise (Wine 8 knows only that one).
bool List(const std::wstring& dir, Listing& out) {
    UniqueFile handle(CreateFileW(dir.empty() ? L"." : dir.c_str(), FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return false;
    constexpr DWORD kBuffer = 64 * 1024;
    auto buffer = std::make_unique<uint64_t[]>(kBuffer / sizeof(uint64_t));  // 8-byte aligned entries
    auto* bytes = reinterpret_cast<uint8_t*>(buffer.get());
    bool extended = true;
    FILE_INFO_BY_HANDLE_CLASS cls = FileIdExtdDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(handle.get(), cls, bytes, kBuffer)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) return true;
            if (!extended || (cls != FileIdExtdDirectoryRestartInfo) || error != ERROR_INVALID_PARAMETER) return false;
            extended = false;
            cls = FileIdBothDirectoryRestartInfo;
            continue;
        }
        if (extended) {
            AddAll<FILE_ID_EXTD_DIR_INFO>(bytes, out);
            cls = FileIdExtdDirectoryInfo;
        } else {
            AddAll<FILE_ID_BOTH_DIR_INFO>(bytes, out);
            cls = FileIdBothDirectoryInfo;
        }
    }
}

}  // namespace

std::vector<std::optional<FileIdentity>> ReadIdentities(const std::vector<std::wstring>& paths) {
    std::unordered_map<std::wstring, std::unique_ptr<Listing>> listings;  // by folded directory; null: unlistable
    std::vector<std::optional<FileIdentity>> result(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::wstring& path = paths[i];
        const size_t slash = path.rfind(L'\\');
        const std::wstring dir = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
        const std::wstring folded = Folded(dir.data(), dir.size());
        auto at = listings.find(folded);
        if (at == listings.end()) {
            auto listing = std::make_unique<Listing>();
            if (!List(dir, *listing)) listing.reset();
            at = listings.emplace(folded, std::move(listing)).first;
        }
        if (!at->second) continue;
        const std::wstring name = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
        const auto found = at->second->find(Folded(name.data(), name.size()));
        if (found != at->second->end()) result[i] = found->second;
    }
    return result;
}
