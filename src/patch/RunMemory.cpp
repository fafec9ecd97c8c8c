#include "patch/RunMemory.h"

#include <windows.h>

#include <unordered_map>

#include "manifest/PathRule.h"
#include "net/ServerFacts.h"
#include "patch/RunState.h"
#include "state/FileIdentities.h"
#include "state/StateFile.h"
#include "text/Hex.h"
#include "text/Text.h"
#include "text/Utf8.h"

namespace {

const char* LoadWord(StateLoad load) {
    switch (load) {
    case StateLoad::Loaded: return "read";
    case StateLoad::Missing: return "missing, starting afresh";
    case StateLoad::Damaged: return "damaged, ignored";
    case StateLoad::OtherVersion: return "of another version, ignored";
    case StateLoad::OtherFolder: return "of another folder, ignored";
    }
    return "";
}

bool SameEntry(const PartialRecord& p, const ManifestFile& e) {
    std::array<uint8_t, 32> sha{};
    return p.path == e.path && p.size == e.size && DigestBytes(e.sha256, sha) && sha == p.sha256;
}

std::wstring ResolvedLocal(const std::string& path) { return ToLocalPath(ResolveRelativePath(path)); }

}  // namespace

int64_t UtcNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
}

void LoadRunMemory(RunState& run) {
    run.memory.reset();
    if (!run.config || run.config->stateFolder.empty()) return;
    FolderIdentity folder;
    if (!IdentifyFolder(L".", folder)) {
        Log(run, "state: the game folder cannot be identified, nothing is remembered");
        return;
    }
    auto memory = std::make_unique<RunMemory>();
    memory->path = StateFilePath(run.config->stateFolder, folder);
    const StateLoad load = LoadFolderState(memory->path, folder, memory->state, &memory->onDisk);
    Log(run, std::string("state ") + WideToUtf8(memory->path) + ": " + LoadWord(load));
    run.memory = std::move(memory);
}

bool SaveRunMemory(RunMemory& memory) {
    std::string bytes = EncodeState(memory.state);
    // An unchanged state (a start that reused every record) costs no write and no flush.
    if (bytes == memory.onDisk) return true;
    if (!SaveStateBytes(memory.path, bytes)) return false;
    memory.onDisk = std::move(bytes);
    return true;
}

std::optional<uint64_t> CounterOf(const FolderState& state, const KeyId& key) {
    for (const KeyCounter& k : state.counters)
        if (k.keyId == key) return k.sequence;
    return std::nullopt;
}

void SetCounter(FolderState& state, const KeyId& key, uint64_t sequence) {
    for (KeyCounter& k : state.counters)
        if (k.keyId == key) {
            k.sequence = sequence;
            return;
        }
    state.counters.push_back({key, sequence});
}

void RememberCheck(RunState& run, const std::vector<const ManifestFile*>& upToDate,
                   const std::vector<std::optional<FileIdentity>>& identities, bool fullCheck) {
    if (!run.memory) return;
    RunMemory& m = *run.memory;
    std::lock_guard<std::mutex> guard(m.lock);
    std::vector<FileRecord> files;
    files.reserve(upToDate.size());
    // Staged files are the pre-load's: they stay until it or the staging clean-up lets them go.
    for (FileRecord& r : m.state.files)
        if (IsInStagingFolder(r.path)) files.push_back(std::move(r));
    for (size_t i = 0; i < upToDate.size(); ++i) {
        FileRecord r;
        if (!identities[i] || !DigestBytes(upToDate[i]->sha256, r.sha256)) continue;
        r.path = upToDate[i]->path;
        r.identity = *identities[i];
        files.push_back(std::move(r));
    }
    m.state.files = std::move(files);
    if (fullCheck) m.state.lastFullCheck = UtcNow();
    // A partial download is worth keeping only while the manifest still lists its entry alike.
    std::vector<PartialRecord> partials;
    for (const PartialRecord& p : m.state.partials)
        for (const ManifestFile& e : run.manifest.files)
            if (IsInStagingFolder(p.path) || SameEntry(p, e)) {
                partials.push_back(p);
                break;
            }
    m.state.partials = std::move(partials);
    if (!SaveRunMemory(m)) Log(run, "state: could not be written");
}

void RememberFetched(RunState& run) {
    if (!run.memory) return;
    RunMemory& m = *run.memory;
    std::vector<std::wstring> paths;
    for (const PlannedFile* f : m.swapped) paths.push_back(ResolvedLocal(f->entry.path));
    const std::vector<std::optional<FileIdentity>> identities =
        run.manifest.reuseVerified ? ReadIdentities(paths) : std::vector<std::optional<FileIdentity>>(paths.size());
    std::lock_guard<std::mutex> guard(m.lock);
    std::unordered_map<std::string, size_t> at;
    for (size_t i = 0; i < m.state.files.size(); ++i) at[m.state.files[i].path] = i;
    for (size_t i = 0; i < m.swapped.size(); ++i) {
        const ManifestFile& e = m.swapped[i]->entry;
        const auto found = at.find(e.path);
        FileRecord r;
        // No identity (reuse is off, or the listing failed): the file is hashed next time.
        if (!identities[i] || !DigestBytes(e.sha256, r.sha256)) {
            if (found != at.end()) m.state.files[found->second].path.clear();
            continue;
        }
        r.path = e.path;
        r.identity = *identities[i];
        if (found != at.end()) {
            m.state.files[found->second] = std::move(r);
        } else {
            at[e.path] = m.state.files.size();
            m.state.files.push_back(std::move(r));
        }
    }
    std::erase_if(m.state.files, [](const FileRecord& r) { return r.path.empty(); });
    std::erase_if(m.state.partials, [](const PartialRecord& p) {
        return GetFileAttributesW((ResolvedLocal(p.path) + kSideFileSuffix).c_str()) == INVALID_FILE_ATTRIBUTES;
    });
    if (!SaveRunMemory(m)) Log(run, "state: could not be written");
}

void RecallPartials(RunState& run) {
    if (!run.memory) return;
    std::lock_guard<std::mutex> guard(run.memory->lock);
    for (PlannedFile& f : run.plan.files) {
        if (!f.resume) continue;
        for (const PartialRecord& p : run.memory->state.partials)
            if (SameEntry(p, f.entry)) f.validator = p.validator;
    }
}

void KeepValidator(void* context, const std::string& validator) {
    const ValidatorKeeper& keeper = *static_cast<const ValidatorKeeper*>(context);
    RunMemory& m = *keeper.memory;
    const ManifestFile& e = keeper.file->entry;
    std::lock_guard<std::mutex> guard(m.lock);
    std::erase_if(m.state.partials, [&](const PartialRecord& p) { return p.path == e.path; });
    PartialRecord p;
    if (!validator.empty() && validator.size() <= kMaxValidatorBytes && DigestBytes(e.sha256, p.sha256)) {
        p.path = e.path;
        p.size = e.size;
        p.validator = validator;
        m.state.partials.push_back(std::move(p));
    }
    SaveRunMemory(m);
}
