// Several downloads at once on the run's session, each into its own side file; the run's thread swaps
// them in manifest order. No file starts more than `connections` places after the next one to swap, so
// at most that many side files exist at once. The first failure stops new starts and cancels every
// later transfer.
#include <windows.h>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/StatusBoard.h"
#include "manifest/PathRule.h"
#include "patch/RunState.h"
#include "base/Hooks.h"
#include "text/Text.h"
#include "fetch/Download.h"
#include "net/ServerFacts.h"
#include "text/SizeText.h"

namespace {

constexpr size_t kNone = SIZE_MAX;
constexpr DWORD kPublishEveryMs = 40;

enum class FileState : uint8_t { Waiting, Running, Verified, Failed };

struct Queue;

struct Worker {
    Queue* queue = nullptr;
    DownloadCancel cancel;
    size_t current = kNone;  // under Queue::lock
    std::wstring displayName;
    uint64_t expectedSize = 0;
    std::thread thread;
};

struct Queue {
    RunState& run;
    std::mutex lock;  // guards the members up to `changed`, never held across a transfer
    std::vector<FileState> state;
    std::vector<PlannedFile> plans;
    std::vector<std::wstring> failures;
    std::vector<std::exception_ptr> errors;  // a file that failed by an exception: rethrown by the run
    size_t nextToStart = 0;
    size_t nextToSwap = 0;
    size_t window = 1;      // files from nextToSwap on that may have a side file
    size_t stopAt = kNone;  // no file at or after this index starts
    std::condition_variable changed;

    std::vector<std::unique_ptr<Worker>> workers;
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<unsigned> inFlight{0};
    std::atomic<DWORD> lastPublish{0};
    std::mutex publishLock;  // a publication and the end of publishing never cross
    bool quiet = false;      // under publishLock: the board is no longer the transfers'

    explicit Queue(RunState& r)
        : run(r), state(r.toDownload.size(), FileState::Waiting), plans(r.toDownload.size()),
          failures(r.toDownload.size()), errors(r.toDownload.size()) {}
};

// Under Queue::lock: nothing at or after `index` starts any more, and what runs after it is cancelled.
void StopFrom(Queue& q, size_t index) {
    if (index < q.stopAt) q.stopAt = index;
    for (auto& w : q.workers)
        if (w->current != kNone && w->current >= q.stopAt) CancelDownload(w->cancel);
}

void Publish(Worker& w, uint64_t received) {
    Queue& q = *w.queue;
    std::lock_guard<std::mutex> guard(q.publishLock);
    if (q.quiet) return;
    const uint64_t done = q.bytesDone.load();
    const uint64_t total = q.run.bytesTotal;
    const uint64_t progress = total == 0 ? 1000 : done * 1000 / total;
    const unsigned inFlight = q.inFlight.load();
    const std::wstring detail =
        inFlight <= 1 ? L"กำลังดาวน์โหลด " + w.displayName + L" (" + FormatSize(received) + L" / " +
                            FormatSize(w.expectedSize) + L")"
                      : L"กำลังดาวน์โหลด " + std::to_wstring(inFlight) + L" ไฟล์พร้อมกัน (" + FormatSize(done) +
                            L" / " + FormatSize(total) + L")";
    UpdateStatus(L"กำลังดาวน์โหลดอัปเดต...", detail, static_cast<int>(static_cast<uint32_t>(progress)));
}

// One publication per 40 ms for all transfers together, and one when the last byte of the run arrives.
void OnBytes(void* context, uint64_t received, int64_t change) {
    Worker& w = *static_cast<Worker*>(context);
    Queue& q = *w.queue;
    const uint64_t done = q.bytesDone.fetch_add(static_cast<uint64_t>(change)) + static_cast<uint64_t>(change);
    const bool last = done == q.run.bytesTotal;
    const DWORD now = GetTickCount();
    DWORD previous = q.lastPublish.load();
    if (!last && (now - previous < kPublishEveryMs || !q.lastPublish.compare_exchange_strong(previous, now)))
        return;
    if (last) q.lastPublish.store(now);
    Publish(w, received);
}

// Runs one file. An exception fails the file like any other failure and is kept for the run's thread.
bool RunOne(Worker& w, size_t index, PlannedFile& plan, std::wstring& failure, std::exception_ptr& error) {
    Queue& q = *w.queue;
    try {
        if (gHooks.helperWork) gHooks.helperWork("download");
        const ManifestFile& entry = q.run.toDownload[index];
        plan = PlanDownload(q.run, entry);
        w.displayName = plan.localPath;
        w.expectedSize = entry.size;
        const DownloadFile file{plan.fileUrl, plan.tempPath, plan.localPath, entry.size, entry.sha256,
                                q.run.manifest.resume};
        const DownloadProgress progress{OnBytes, &w};
        return DownloadVerifiedFile(q.run.http, file, progress, &w.cancel, failure);
    } catch (...) {
        if (!plan.tempPath.empty()) DeleteFileW(plan.tempPath.c_str());
        error = std::current_exception();
        return false;
    }
}

void WorkerLoop(Worker& w) {
    Queue& q = *w.queue;
    for (;;) {
        size_t index;
        {
            std::unique_lock<std::mutex> guard(q.lock);
            q.changed.wait(guard, [&] {
                return q.nextToStart >= q.state.size() || q.nextToStart >= q.stopAt ||
                       q.nextToStart < q.nextToSwap + q.window;
            });
            if (q.nextToStart >= q.state.size() || q.nextToStart >= q.stopAt) return;
            index = q.nextToStart++;
            w.current = index;
            q.state[index] = FileState::Running;
            ++q.inFlight;
        }
        PlannedFile plan;
        std::wstring failure;
        std::exception_ptr error;
        const bool verified = RunOne(w, index, plan, failure, error);
        {
            std::lock_guard<std::mutex> guard(q.lock);
            --q.inFlight;
            w.current = kNone;
            q.plans[index] = std::move(plan);
            q.state[index] = verified ? FileState::Verified : FileState::Failed;
            if (!verified) {
                q.failures[index] = std::move(failure);
                q.errors[index] = error;
                StopFrom(q, index + 1);
            }
        }
        q.changed.notify_all();
    }
}

void SetQuiet(Queue& q, bool quiet) {
    std::lock_guard<std::mutex> guard(q.publishLock);
    q.quiet = quiet;
}

}  // namespace

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

namespace {

// The run's side of the queue: waits for each file in list order and swaps it in. Returns the index
// it stopped at (count when every file went in); sets failedDownload or swapFailed.
size_t SwapInOrder(Queue& q, size_t& failedDownload, bool& swapFailed) {
    const size_t count = q.state.size();
    size_t next = 0;
    for (; next < count; ++next) {
        std::unique_lock<std::mutex> guard(q.lock);
        q.changed.wait(guard, [&] {
            return q.state[next] == FileState::Verified || q.state[next] == FileState::Failed;
        });
        if (q.state[next] == FileState::Failed) {
            failedDownload = next;
            break;
        }
        const PlannedFile plan = q.plans[next];
        guard.unlock();
        // The swap's own failure status must not be painted over by a transfer still running.
        SetQuiet(q, true);
        if (!SwapInVerified(q.run, plan)) {
            swapFailed = true;
            std::lock_guard<std::mutex> again(q.lock);
            StopFrom(q, next + 1);
            break;
        }
        SetQuiet(q, false);
        {
            std::lock_guard<std::mutex> again(q.lock);
            q.nextToSwap = next + 1;
        }
        q.changed.notify_all();
    }
    return next;
}

}  // namespace

bool DownloadInParallel(RunState& run, unsigned connections) {
    const size_t count = run.toDownload.size();
    if (count == 0) return true;
    Queue q(run);
    const size_t threads = connections < count ? connections : count;
    q.window = connections;
    for (size_t i = 0; i < threads; ++i) {
        q.workers.push_back(std::make_unique<Worker>());
        q.workers.back()->queue = &q;
    }
    for (auto& w : q.workers) {
        Worker* worker = w.get();
        try {
            worker->thread = std::thread([worker] { WorkerLoop(*worker); });
        } catch (...) {
            break;  // fewer threads, as many as could be had
        }
    }
    if (!q.workers.front()->thread.joinable()) {
        UpdateStatus(L"อัปเดตไม่สำเร็จ", L"เริ่มการดาวน์โหลดไม่สำเร็จ", 0);
        return false;
    }

    size_t failedDownload = kNone;
    bool swapFailed = false;
    size_t next = 0;
    std::exception_ptr error;
    try {
        next = SwapInOrder(q, failedDownload, swapFailed);
    } catch (...) {
        // The workers must end before the queue does, whatever went wrong on this thread.
        error = std::current_exception();
        std::lock_guard<std::mutex> guard(q.lock);
        StopFrom(q, 0);
        next = q.nextToSwap;
    }
    q.changed.notify_all();
    if (next < count) SetQuiet(q, true);
    for (auto& w : q.workers)
        if (w->thread.joinable()) w->thread.join();

    // Verified side files after the stop were never swapped in.
    for (size_t i = error ? next : next + 1; i < count; ++i)
        if (q.state[i] == FileState::Verified) DeleteFileW(q.plans[i].tempPath.c_str());
    run.bytesDone = q.bytesDone.load();
    if (!error && failedDownload != kNone) error = q.errors[failedDownload];
    if (error) std::rethrow_exception(error);
    if (swapFailed) return false;
    if (failedDownload != kNone) {
        run.failureText = q.failures[failedDownload];
        UpdateStatus(L"อัปเดตไม่สำเร็จ", run.failureText, 0);
        return false;
    }
    return true;
}
