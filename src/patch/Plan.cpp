#include "patch/Plan.h"

#include <windows.h>

#include <set>

#include "manifest/PathRule.h"
#include "patch/Staging.h"
#include "net/ServerFacts.h"
#include "text/Text.h"

namespace {

bool IsFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

FetchWay WholeWay(const PlannedFile& f) { return f.resume ? FetchWay::Resumed : FetchWay::Whole; }

// Mirrors are folders: one given without its last '/' still resolves inside it.
std::vector<std::wstring> Bases(const PatchManifest& manifest, const std::wstring& manifestUrl) {
    std::vector<std::wstring> bases;
    for (const std::string& mirror : manifest.mirrors) {
        std::wstring base = Utf8ToWide(mirror);
        if (base.find(L'?') == std::wstring::npos && base.back() != L'/') base += L'/';
        bases.push_back(std::move(base));
    }
    bases.push_back(manifestUrl);
    return bases;
}

std::vector<FileSource> Sources(const ManifestFile& entry, const std::vector<std::wstring>& bases) {
    std::vector<FileSource> sources;
    const std::wstring url = Utf8ToWide(entry.url), map = Utf8ToWide(entry.map.url);
    for (size_t b = 0; b < bases.size(); ++b) {
        FileSource s{b, ResolveFileUrl(bases[b], url), map.empty() ? std::wstring() : ResolveFileUrl(bases[b], map)};
        bool repeated = false;
        for (const FileSource& earlier : sources)
            repeated = repeated || (earlier.fileUrl == s.fileUrl && earlier.mapUrl == s.mapUrl);
        if (!repeated) sources.push_back(std::move(s));
    }
    return sources;
}

FetchPlan Plan(const PatchManifest& manifest, const std::vector<ManifestFile>& toDownload,
               const std::wstring& manifestUrl, const std::wstring& exeName, bool staging) {
    FetchPlan plan;
    plan.bases = Bases(manifest, manifestUrl);
    plan.files.reserve(toDownload.size());
    bool anyAssembled = false;
    for (const ManifestFile& entry : toDownload) {
        PlannedFile f;
        f.entry = entry;
        f.basePath = ToLocalPath(entry.path);
        if (staging) f.entry.path = StagedPath(entry.sha256);
        f.localPath = ToLocalPath(f.entry.path);
        f.sidePath = f.localPath + kSideFileSuffix;
        f.sources = Sources(entry, plan.bases);
        f.fileUrl = f.sources.front().fileUrl;
        f.mapUrl = f.sources.front().mapUrl;
        f.displayName = f.basePath;
        f.ownExecutable = !staging && AsciiEqualNoCase(f.localPath, exeName);
        f.resume = manifest.resume || staging;
        f.way = f.mapUrl.empty() ? WholeWay(f) : FetchWay::Assembled;
        // One at a time, an earlier file may leave the local copy a later one is assembled from.
        anyAssembled = anyAssembled || (!f.mapUrl.empty() && IsFile(f.basePath));
        plan.files.push_back(std::move(f));
    }
    // A file that can be assembled from its block map is worth more than parallel transfers.
    if (manifest.connections <= 1 || anyAssembled || NeedsOneAtATime(toDownload)) return plan;
    plan.connections = manifest.connections;
    for (PlannedFile& f : plan.files) f.way = WholeWay(f);
    return plan;
}

}  // namespace

FetchPlan BuildPlan(const PatchManifest& manifest, const std::vector<ManifestFile>& toDownload,
                    const std::wstring& manifestUrl, const std::wstring& exeName) {
    return Plan(manifest, toDownload, manifestUrl, exeName, false);
}

FetchPlan BuildStagingPlan(const PatchManifest& manifest, const std::vector<ManifestFile>& toStage,
                           const std::wstring& manifestUrl) {
    return Plan(manifest, toStage, manifestUrl, L"", true);
}

void CreateParentDirectories(const std::wstring& localPath) {
    for (size_t i = 0; i < localPath.size(); ++i) {
        if (localPath[i] != L'\\' || i == 0) continue;
        CreateDirectoryW(localPath.substr(0, i).c_str(), nullptr);
    }
}

std::wstring DiskKey(const std::string& path) {
    std::wstring key = ToLocalPath(ResolveRelativePath(path));
    if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

bool NeedsOneAtATime(const std::vector<ManifestFile>& files) {
    const std::string suffix(std::begin(kSideFileSuffix), std::end(kSideFileSuffix) - 1);  // ASCII
    std::set<std::wstring> targets, names;
    for (const ManifestFile& f : files) {
        const std::wstring target = DiskKey(f.path);
        if (!targets.insert(target).second || !names.insert(target).second) return true;
        if (!names.insert(DiskKey(f.path + suffix)).second) return true;
    }
    for (const std::wstring& p : targets)
        for (size_t i = p.find(L'\\'); i != std::wstring::npos; i = p.find(L'\\', i + 1))
            if (targets.count(p.substr(0, i))) return true;
    return false;
}
