#include "patch/Staging.h"

#include <windows.h>

#include <map>

#include "base/Handle.h"
#include "manifest/PathRule.h"
#include "net/ServerFacts.h"
#include "patch/CheckPool.h"
#include "patch/RunState.h"
#include "state/FileIdentities.h"
#include "text/Text.h"
#include "text/Utf8.h"

namespace {

const std::wstring kStagingFolder = Utf8ToWide(kStagingFolderName);

// The digest a staged path or a staged file's name is for; empty when it names none.
std::string DigestOfName(std::string name) {
    const std::string suffix = WideToUtf8(kSideFileSuffix);
    if (name.size() > suffix.size() && AsciiLower(name.substr(name.size() - suffix.size())) == suffix)
        name.resize(name.size() - suffix.size());
    std::array<uint8_t, 32> bytes{};
    return DigestBytes(name, bytes) ? AsciiLower(name) : std::string();
}

std::string DigestOfPath(const std::string& path) {
    const size_t slash = path.find('/');
    return slash == std::string::npos ? std::string() : DigestOfName(path.substr(slash + 1));
}

std::optional<FileRecord> RecordOf(const RunState& run, const std::string& stagedPath) {
    if (!run.memory) return std::nullopt;
    std::lock_guard<std::mutex> guard(run.memory->lock);
    for (const FileRecord& r : run.memory->state.files)
        if (r.path == stagedPath) return r;
    return std::nullopt;
}

}  // namespace

std::string StagedPath(const std::string& sha256) { return std::string(kStagingFolderName) + "/" + AsciiLower(sha256); }

std::vector<bool> StagedCopiesHold(RunState& run, const std::vector<const ManifestFile*>& entries) {
    std::vector<bool> holds(entries.size(), false);
    std::vector<std::wstring> paths;
    for (const ManifestFile* e : entries) paths.push_back(ToLocalPath(StagedPath(e->sha256)));
    const std::vector<std::optional<FileIdentity>> identities = ReadIdentities(paths);
    std::vector<FileCheck> checks;
    std::vector<size_t> checkOf;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!identities[i]) continue;
        std::array<uint8_t, 32> sha{};
        const std::optional<FileRecord> record = RecordOf(run, StagedPath(entries[i]->sha256));
        if (record && record->identity == *identities[i] && identities[i]->size == entries[i]->size &&
            DigestBytes(entries[i]->sha256, sha) && sha == record->sha256) {
            holds[i] = true;
            continue;
        }
        checks.push_back({paths[i], entries[i]->size, &entries[i]->sha256});
        checkOf.push_back(i);
    }
    if (!checks.empty()) CheckFiles(checks, CheckThreadCount(), UINT32_MAX, [](size_t, size_t) {});
    for (size_t c = 0; c < checks.size(); ++c) {
        const size_t i = checkOf[c];
        holds[i] = checks[c].upToDate;
        if (!holds[i]) {
            Log(run, "staging: " + StagedPath(entries[i]->sha256) + " no longer holds what it was staged for, deleted");
            SetFileAttributesW(paths[i].c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(paths[i].c_str());
        }
    }
    return holds;
}

void TakeStaged(RunState& run) {
    if (GetFileAttributesW(kStagingFolder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    // The first planned file of each digest takes its copy; another path with the same content is fetched.
    std::map<std::string, size_t> firstOf;
    std::vector<const ManifestFile*> entries;
    std::vector<size_t> fileOf;
    for (size_t i = 0; i < run.plan.files.size(); ++i) {
        const ManifestFile& e = run.plan.files[i].entry;
        if (!firstOf.try_emplace(AsciiLower(e.sha256), i).second) continue;
        entries.push_back(&e);
        fileOf.push_back(i);
    }
    const std::vector<bool> holds = StagedCopiesHold(run, entries);
    for (size_t k = 0; k < entries.size(); ++k) {
        if (!holds[k]) continue;
        PlannedFile& f = run.plan.files[fileOf[k]];
        const std::wstring staged = ToLocalPath(StagedPath(f.entry.sha256));
        CreateParentDirectories(f.localPath);
        if (!MoveFileExW(staged.c_str(), f.sidePath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            Log(run, "staging: " + f.entry.path + " could not be moved in (error " + std::to_string(GetLastError()) +
                         "), fetched instead");
            continue;
        }
        f.way = FetchWay::Staged;
        run.bytesTotal -= f.entry.size < run.bytesTotal ? f.entry.size : run.bytesTotal;
        Log(run, "staging: " + f.entry.path + " moved in from " + StagedPath(f.entry.sha256));
    }
}

void ReturnStaged(RunState& run) {
    for (const PlannedFile& f : run.plan.files) {
        if (f.way != FetchWay::Staged || GetFileAttributesW(f.sidePath.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        const std::wstring staged = ToLocalPath(StagedPath(f.entry.sha256));
        if (MoveFileExW(f.sidePath.c_str(), staged.c_str(), MOVEFILE_REPLACE_EXISTING))
            Log(run, "staging: " + f.entry.path + " not swapped in, back to " + StagedPath(f.entry.sha256));
    }
}

void CleanStaging(RunState& run, const std::set<std::string>& keep) {
    const DWORD a = GetFileAttributesW(kStagingFolder.c_str());
    size_t removed = 0;
    // Nothing kept, or not a plain folder of ours (a file, a link): it goes whole, a link as the link.
    const bool whole = a != INVALID_FILE_ATTRIBUTES &&
                       (keep.empty() || !(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT));
    if (whole) {
        SetFileAttributesW(kStagingFolder.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
        const bool gone = (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveTree(kStagingFolder) : DeleteFileW(kStagingFolder.c_str());
        Log(run, std::string("staging: ") + (gone ? "cleared" : "could not be cleared"));
    } else if (a != INVALID_FILE_ATTRIBUTES) {
        WIN32_FIND_DATAW found;
        UniqueFind find(FindFirstFileW((kStagingFolder + L"\\*").c_str(), &found));
        if (find) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring path = kStagingFolder + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    // Nothing of ours is a folder; a link goes as the link itself.
                    if (RemoveTree(path)) ++removed;
                    continue;
                }
                if (keep.count(DigestOfName(WideToUtf8(name)))) continue;
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (DeleteFileW(path.c_str())) ++removed;
            } while (FindNextFileW(find.get(), &found));
        }
        if (removed) Log(run, "staging: " + std::to_string(removed) + " files no release needs any more, deleted");
    }
    if (!run.memory) return;
    RunMemory& m = *run.memory;
    std::lock_guard<std::mutex> guard(m.lock);
    const auto unneeded = [&](const std::string& path) {
        return IsInStagingFolder(path) && (whole || !keep.count(DigestOfPath(path)));
    };
    std::erase_if(m.state.files, [&](const FileRecord& r) { return unneeded(r.path); });
    std::erase_if(m.state.partials, [&](const PartialRecord& p) { return unneeded(p.path); });
    if (!SaveRunMemory(m)) Log(run, "state: could not be written");
}
