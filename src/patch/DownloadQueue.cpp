// The plan's files fetched on the run's session, each into its own side file, and swapped in list order
// by the run's thread: one at a time on that thread, or with several connections on helper threads. No file starts more than `connections` places after the next one to swap, so
// at most that many side files exist at once. The first failure stops new starts and cancels every
// later transfer.
#include <windows.h>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/StatusBoard.h"
#include "patch/Fetch.h"
#include "patch/LogLines.h"
#include "patch/Words.h"
#include "patch/RunState.h"
#include "base/Hooks.h"
#include "text/SizeText.h"

namespace {

constexpr size_t kNone = SIZE_MAX;

enum class FileState : uint8_t { Waiting, Running, Verified, Failed };

struct Queue;

struct Worker {
    Queue* queue = nullptr;
    DownloadCancel cancel;
    size_t current = kNone;  // under Queue::lock
    const PlannedFile* file = nullptr;
    std::thread thread;
};

struct Queue {
    RunState& run;
    const std::vector<PlannedFile>& files;
    const bool serial;  // every file on the run's thread
    std::mutex lock;    // guards the members up to `changed`, never held across a transfer
    std::vector<FileState> state;
    std::vector<FetchResult> failures;
    std::vector<std::exception_ptr> errors;  // a file that failed by an exception: rethrown by the run
    size_t nextToStart = 0;
    size_t nextToSwap = 0;
    size_t window = 1;      // files from nextToSwap on that may have a side file
    size_t stopAt = kNone;  // no file at or after this index starts
    std::condition_variable changed;

    std::vector<std::unique_ptr<Worker>> workers;
    ProgressMeter meter;
    BaseOrder bases;
    std::atomic<unsigned> inFlight{0};
    std::mutex publishLock;  // a publication and the end of publishing never cross
    bool quiet = false;      // under publishLock: the board is no longer the transfers'

    explicit Queue(RunState& r)
        : run(r), files(r.plan.files), serial(r.plan.connections <= 1), state(files.size(), FileState::Waiting),
          failures(files.size()), errors(files.size()) {
        meter.total = r.bytesTotal;
        StartBaseOrder(bases, r.plan.bases.size());
    }
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
    const uint64_t done = q.meter.done.load();
    const uint64_t total = q.meter.total;
    const unsigned inFlight = q.inFlight.load();
    Report(q.run,
           inFlight <= 1 ? DownloadingFileWords(w.file->displayName, received, w.file->entry.size)
                         : DownloadingManyWords(inFlight, done, total),
           MeterPermille(q.meter));
}

// One publication per interval for all transfers together, and one when the last byte arrives: of the
// file when they come one at a time, of the run when several run at once.
void OnBytes(void* context, uint64_t received, int64_t change) {
    Worker& w = *static_cast<Worker*>(context);
    Queue& q = *w.queue;
    const uint64_t done = MeterAdd(q.meter, change);
    const bool last = q.serial ? received == w.file->entry.size : done == q.meter.total;
    if (MeterDue(q.meter, last)) Publish(w, received);
}

// Runs one file. An exception fails the file like any other failure and is kept for the run's thread.
bool RunOne(Worker& w, size_t index, FetchResult& failure, std::exception_ptr& error) {
    Queue& q = *w.queue;
    const PlannedFile& file = q.files[index];
    try {
        if (!q.serial && gHooks.helperWork) gHooks.helperWork("download");
        w.file = &file;
        // Its content waits in the side file already, moved there from staging.
        if (file.way == FetchWay::Staged) {
            failure = FetchResult{FetchCode::Verified};
            return true;
        }
        CreateParentDirectories(file.localPath);
        // Each file's first bytes are shown at once when the files come one at a time.
        if (q.serial) q.meter.lastPublish = 0;
        FetchContext context{q.run.http, q.meter, q.serial ? nullptr : &w.cancel, {OnBytes, &w}, &q.run, &q.bases,
                             q.run.stop, q.run.pace};
        failure = FetchPlanned(file, context);
        return IsVerified(failure);
    } catch (...) {
        DeleteFileW(file.sidePath.c_str());
        error = std::current_exception();
        return false;
    }
}

// Runs file `index` and records how it ended.
void RunAndRecord(Worker& w, size_t index) {
    Queue& q = *w.queue;
    FetchResult failure;
    std::exception_ptr error;
    const bool verified = RunOne(w, index, failure, error);
    const PlannedFile& file = q.files[index];
    Log(q.run, "fetch " + file.entry.path + " (" + LogText(file.way) + ", " + std::to_string(file.entry.size) +
                   " bytes): " + (error ? std::string("failed on an exception") : LogText(failure)));
    {
        std::lock_guard<std::mutex> guard(q.lock);
        --q.inFlight;
        w.current = kNone;
        q.state[index] = verified ? FileState::Verified : FileState::Failed;
        if (!verified) {
            q.failures[index] = failure;
            q.errors[index] = error;
            StopFrom(q, index + 1);
        }
    }
    q.changed.notify_all();
}

// Under Queue::lock: the next file to start goes to w.
size_t Start(Queue& q, Worker& w) {
    const size_t index = q.nextToStart++;
    w.current = index;
    q.state[index] = FileState::Running;
    ++q.inFlight;
    return index;
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
            index = Start(q, w);
        }
        RunAndRecord(w, index);
    }
}

void SetQuiet(Queue& q, bool quiet) {
    std::lock_guard<std::mutex> guard(q.publishLock);
    q.quiet = quiet;
}

// The run's side of the queue: runs (one at a time) or waits for each file in list order and swaps it in. Returns the index
// it stopped at (count when every file went in); sets failedDownload or swapFailed.
size_t SwapInOrder(Queue& q, size_t& failedDownload, bool& swapFailed) {
    const size_t count = q.state.size();
    size_t next = 0;
    for (; next < count; ++next) {
        if (q.serial) {
            {
                std::lock_guard<std::mutex> guard(q.lock);
                Start(q, *q.workers.front());
            }
            RunAndRecord(*q.workers.front(), next);
        }
        std::unique_lock<std::mutex> guard(q.lock);
        q.changed.wait(guard, [&] {
            return q.state[next] == FileState::Verified || q.state[next] == FileState::Failed;
        });
        if (q.state[next] == FileState::Failed) {
            failedDownload = next;
            break;
        }
        const PlannedFile& plan = q.files[next];
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

bool FetchAndSwap(RunState& run) {
    const size_t count = run.plan.files.size();
    if (count == 0) return true;
    Queue q(run);
    const unsigned connections = run.plan.connections;
    const size_t workers = q.serial ? 1 : connections < count ? connections : count;
    q.window = connections;
    for (size_t i = 0; i < workers; ++i) {
        q.workers.push_back(std::make_unique<Worker>());
        q.workers.back()->queue = &q;
    }
    for (auto& w : q.workers) {
        if (q.serial) break;  // the run's thread does the one worker's part
        Worker* worker = w.get();
        try {
            worker->thread = std::thread([worker] { WorkerLoop(*worker); });
        } catch (...) {
            break;  // fewer threads, as many as could be had
        }
    }
    if (!q.serial && !q.workers.front()->thread.joinable()) {
        Report(q.run, StartFailedWords(), 0);
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

    // Verified side files after the stop were never swapped in; pre-loaded ones go back to staging.
    for (size_t i = error ? next : next + 1; i < count; ++i)
        if (q.state[i] == FileState::Verified && q.files[i].way != FetchWay::Staged)
            DeleteFileW(q.files[i].sidePath.c_str());
    if (!error && failedDownload != kNone) error = q.errors[failedDownload];
    if (error) std::rethrow_exception(error);
    if (swapFailed) return false;
    if (failedDownload != kNone) {
        const Words words = FetchFailureWords(q.failures[failedDownload], q.files[failedDownload]);
        Report(q.run, words.headline, words.detail, 0);
        return false;
    }
    return true;
}
