// Delta download of one file: its block map, the blocks the local copy still holds, Range requests
// for the rest, then the same size and SHA-256 check as a whole download. Any surprise ends the
// attempt; the caller then downloads the whole file.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "base/Handle.h"
#include "base/StatusBoard.h"
#include "patch/Fetch.h"
#include "patch/RunState.h"
#include "patch/Words.h"
#include "base/Hooks.h"
#include "delta/BlockMatch.h"
#include "digest/Sha256.h"
#include "text/SizeText.h"

namespace {

// A gap of found blocks shorter than this between two changed stretches is fetched with them.
constexpr uint64_t kMergeGap = 64 * 1024;
constexpr uint64_t kMaxMapBytes = kBlockMapHeaderBytes + kMaxBlockCount * kBlockRecordBytes;
// Fetched bytes waiting for the writer at most: the ranges download while local blocks are copied.
constexpr size_t kPrefetchCap = 8u << 20;

// A second thread fetches the plan's ranges in order into a bounded queue; the assembly takes them out.
struct Prefetch {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> chunks;
    size_t queued = 0;
    bool ended = false;   // every range fetched, or one failed
    bool failed = false;
    bool stop = false;    // the assembly needs no more
    const DownloadCancel* outside = nullptr;  // the run's stop from outside
    std::exception_ptr error;  // what ended the fetcher, for the run's thread to rethrow
    Pace* pace = nullptr;  // the fetcher's reads follow the run's pace
    const DownloadCancel* cancel = nullptr;
    bool background = false;  // the fetcher's thread has entered background mode
};

bool PushChunk(void* context, const uint8_t* data, size_t size) {
    Prefetch& p = *static_cast<Prefetch*>(context);
    {
        std::unique_lock<std::mutex> hold(p.lock);
        p.changed.wait(hold, [&] { return p.stop || p.queued < kPrefetchCap; });
        if (p.stop || (p.outside && p.outside->cancelled.load())) return false;
        p.chunks.emplace_back(data, data + size);
        p.queued += size;
        p.changed.notify_all();
    }
    return PaceAfterRead(p.pace, size, p.cancel, p.outside, p.background);
}

size_t PrefetchReadLimit(void* context) { return PaceReadSize(static_cast<Prefetch*>(context)->pace, UINT32_MAX); }

void FetchAll(HttpSession& http, const std::wstring& url, uint64_t fileSize, const AssemblyPlan& plan, Prefetch& p) {
    bool ok = true;
    std::exception_ptr error;
    try {
        for (const Piece& piece : plan.pieces) {
            if (piece.local) continue;
            if (gHooks.helperWork) gHooks.helperWork("ranges");
            ok = HttpGetRange(http, url, piece.offset, piece.offset + piece.length - 1, fileSize, PushChunk, &p,
                              PrefetchReadLimit);
            if (!ok) break;
        }
    } catch (...) {
        ok = false;
        error = std::current_exception();
    }
    std::lock_guard<std::mutex> hold(p.lock);
    p.ended = true;
    p.failed = !ok;
    p.error = error;
    p.changed.notify_all();
}

struct Delta {
    FetchContext& context;
    const PlannedFile& file;
    const ManifestFile& entry;
    HANDLE old = INVALID_HANDLE_VALUE;
    HANDLE side = INVALID_HANDLE_VALUE;
    Sha256Stream digest{};
    AssemblyState state{};
    uint64_t fetchedPlanned = 0;
    uint64_t oldSize = 0, scanned = 0;
    uint64_t added = 0;  // to the stage's bytes
    std::string map{};  // the map's bytes while they arrive
    Prefetch* prefetch = nullptr;
    bool background = false;  // the run's thread has entered background mode for the pace
};

bool AppendMap(void* context, const uint8_t* data, size_t size) {
    Delta& d = *static_cast<Delta*>(context);
    d.map.append(reinterpret_cast<const char*>(data), size);
    return PaceAfterRead(d.context.pace, size, d.context.cancel, d.context.stop, d.background);
}

size_t MapReadLimit(void* context) { return PaceReadSize(static_cast<Delta*>(context)->context.pace, UINT32_MAX); }

// The scan moves no bytes into the new file, so the bar stays; the line says how far it is.
void PublishScan(Delta& d, bool force) {
    if (!MeterDue(d.context.meter, force)) return;
    Report(*d.context.run, ScanningWords(d.file.displayName, d.scanned, d.oldSize), MeterPermille(d.context.meter));
}

size_t ReadNextOld(void* context, uint8_t* into, size_t most) {
    Delta& d = *static_cast<Delta*>(context);
    FollowPaceBackground(d.context.pace, d.background);
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(most, 1u << 30));
    if (!ReadFile(d.old, into, ask, &got, nullptr)) return SIZE_MAX;
    d.scanned += got;
    PublishScan(d, false);
    return got;
}

bool ReadOldAt(void* context, uint64_t offset, uint8_t* into, size_t length) {
    Delta& d = *static_cast<Delta*>(context);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(d.old, at, nullptr, FILE_BEGIN)) return false;
    DWORD got = 0;
    return ReadFile(d.old, into, static_cast<DWORD>(length), &got, nullptr) && got == length;
}

void Publish(Delta& d, bool force) {
    if (!MeterDue(d.context.meter, force)) return;
    Report(*d.context.run,
           AssemblingWords(d.file.displayName, d.state.written, d.entry.size, d.state.reused, d.state.fetched,
                           d.fetchedPlanned),
           MeterPermille(d.context.meter));
}

bool WriteSide(void* context, const uint8_t* data, size_t length) {
    Delta& d = *static_cast<Delta*>(context);
    FollowPaceBackground(d.context.pace, d.background);
    DWORD written = 0;
    if (!WriteFile(d.side, data, static_cast<DWORD>(length), &written, nullptr) || written != length) return false;
    Sha256Add(d.digest, data, length);
    MeterAdd(d.context.meter, static_cast<int64_t>(length));
    d.added += length;
    // state.written/reused/fetched are updated after this returns; publish what they will be.
    Publish(d, false);
    return true;
}

// The next `length` fetched bytes, which the prefetch thread requested for this very piece.
bool FetchRange(void* context, uint64_t, uint64_t length) {
    Delta& d = *static_cast<Delta*>(context);
    Prefetch& p = *d.prefetch;
    while (length) {
        std::vector<uint8_t> chunk;
        {
            std::unique_lock<std::mutex> hold(p.lock);
            p.changed.wait(hold, [&] { return !p.chunks.empty() || p.ended; });
            if (p.chunks.empty()) return false;
            chunk = std::move(p.chunks.front());
            p.chunks.pop_front();
            p.queued -= chunk.size();
            p.changed.notify_all();
        }
        if (chunk.size() > length || !AssemblyWrite(d.state, chunk.data(), chunk.size())) return false;
        length -= chunk.size();
    }
    return true;
}

// The map, fetched as exactly its listed bytes and checked against its digest and the entry.
bool FetchMap(Delta& d, BlockMap& map) {
    const BlockMapRef& ref = d.entry.map;
    if (ref.size < kBlockMapHeaderBytes || ref.size > kMaxMapBytes) return false;
    d.map.reserve(static_cast<size_t>(ref.size));
    if (!HttpGetRange(d.context.http, d.file.mapUrl, 0, ref.size - 1, ref.size, AppendMap, &d, MapReadLimit))
        return false;
    uint8_t digest[32];
    Sha256Of(d.map.data(), d.map.size(), digest);
    if (HexLower(digest, 32) != ref.sha256) return false;
    std::string why;
    const bool read = ReadBlockMap(reinterpret_cast<const uint8_t*>(d.map.data()), d.map.size(), map, why);
    std::string().swap(d.map);
    return read && map.fileSize == d.entry.size && HexLower(map.fileSha256, 32) == d.entry.sha256;
}

// True when the side file holds the verified new content.
bool Attempt(Delta& d) {
    const std::wstring& tempPath = d.file.sidePath;
    BlockMap map;
    if (!FetchMap(d, map)) return false;

    PublishScan(d, true);
    std::vector<uint64_t> found;
    ScanStats stats;
    if (!ScanForBlocks(map, ReadNextOld, &d, found, stats)) return false;
    const AssemblyPlan plan = PlanAssembly(map, found, kMergeGap);
    // Nothing to reuse: one whole GET is cheaper than ranges.
    if (plan.reusedBytes == 0) return false;
    d.fetchedPlanned = plan.fetchedBytes;

    UniqueFile side(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!side) return false;
    d.side = side.get();
    auto abandon = [&] {
        side.reset();
        DeleteFileW(tempPath.c_str());
        return false;
    };
    if (!Sha256Begin(d.digest)) return abandon();
    Prefetch prefetch;
    prefetch.outside = d.context.stop;
    prefetch.pace = d.context.pace;
    prefetch.cancel = d.context.cancel;
    d.prefetch = &prefetch;
    std::thread fetcher;
    try {
        fetcher = std::thread([&] { FetchAll(d.context.http, d.file.fileUrl, d.entry.size, plan, prefetch); });
    } catch (...) {
        return abandon();
    }
    const AssemblyIo io{&d, ReadOldAt, FetchRange, WriteSide};
    AssemblyResult result = AssemblyResult::Done;
    std::exception_ptr error;
    try {
        result = Assemble(map, plan, io, d.state);
    } catch (...) {
        error = std::current_exception();  // the fetcher must end before this frame does
    }
    {
        std::lock_guard<std::mutex> hold(prefetch.lock);
        prefetch.stop = true;
        prefetch.changed.notify_all();
    }
    fetcher.join();
    if (!error) error = prefetch.error;
    if (error) {
        abandon();
        std::rethrow_exception(error);
    }
    const FetchCode check = CheckSideFile(d.digest, d.state.written, d.entry.size, d.entry.sha256);
    side.reset();
    if (result != AssemblyResult::Done || check != FetchCode::Verified) return abandon();
    Publish(d, true);
    Log(*d.context.run, "assemble " + d.entry.path + ": " + std::to_string(d.entry.size ? d.state.reused * 100 / d.entry.size : 0) +
                            " % reused (" + std::to_string(d.state.reused) + " bytes), " +
                            std::to_string(d.state.fetched) + " bytes fetched");
    return true;
}

}  // namespace

FetchResult FetchAssembled(const PlannedFile& file, FetchContext& context) {
    FetchResult result{FetchCode::NotAssembled};
    if (file.mapUrl.empty()) return result;
    UniqueFile old(CreateFileW(file.basePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER oldSize;
    if (!old || !GetFileSizeEx(old.get(), &oldSize)) return result;
    Delta d{context, file, file.entry};
    d.old = old.get();
    d.oldSize = static_cast<uint64_t>(oldSize.QuadPart);
    if (Attempt(d)) return FetchResult{};
    // The whole download that follows counts this file from its start again.
    MeterAdd(context.meter, -static_cast<int64_t>(d.added));
    return result;
}
