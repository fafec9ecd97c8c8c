#include "patch/CheckPool.h"

#include <windows.h>

#include <atomic>
#include <exception>

#include "base/Handle.h"
#include "base/Hooks.h"
#include "digest/FileHash.h"
#include "digest/Sha256.h"

namespace {

struct Pool {
    std::vector<FileCheck>* checks = nullptr;
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    std::atomic<size_t> current{0};
    std::atomic<bool> stop{false};  // a worker failed: no further file starts
    std::exception_ptr error;       // under lock: the first failure, rethrown on the calling thread
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE allDone = CONDITION_VARIABLE_INIT;
};

bool IsUpToDate(FileHashScratch& scratch, FileCheck& check) {
    uint64_t size = 0;
    uint8_t digest[32];
    const FileDigest read = DigestFile(scratch, check.localPath, &check.size, size, digest);
    check.sizeDiffered = read == FileDigest::SizeDiffers;
    check.digested = read == FileDigest::Digested;
    if (read != FileDigest::Digested) return false;
    return check.sha256 && HexLower(digest, sizeof digest) == *check.sha256;
}

// Takes files in list order until none are left; between runs after each one.
template <typename Between>
void Work(Pool& pool, Between between) {
    FileHashScratch scratch;
    std::vector<FileCheck>& checks = *pool.checks;
    while (!pool.stop.load()) {
        const size_t i = pool.next.fetch_add(1);
        if (i >= checks.size()) break;
        pool.current.store(i, std::memory_order_relaxed);
        if (gHooks.helperWork) gHooks.helperWork("check");
        checks[i].upToDate = IsUpToDate(scratch, checks[i]);
        if (pool.finished.fetch_add(1) + 1 == checks.size()) {
            AcquireSRWLockExclusive(&pool.lock);
            ReleaseSRWLockExclusive(&pool.lock);
            WakeAllConditionVariable(&pool.allDone);
        }
        between();
    }
}

// Nothing may leave a thread of its own: the failure goes to the calling thread, which stops waiting.
DWORD WINAPI WorkerMain(LPVOID param) {
    Pool& pool = *static_cast<Pool*>(param);
    try {
        Work(pool, [] {});
    } catch (...) {
        AcquireSRWLockExclusive(&pool.lock);
        if (!pool.error) pool.error = std::current_exception();
        pool.stop = true;
        ReleaseSRWLockExclusive(&pool.lock);
        WakeAllConditionVariable(&pool.allDone);
    }
    return 0;
}

}  // namespace

unsigned CheckThreadCount() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const unsigned n = info.dwNumberOfProcessors;
    return n < 1 ? 1 : n > 8 ? 8 : n;
}

void CheckFiles(std::vector<FileCheck>& checks, unsigned threads, unsigned reportEveryMs, const CheckReport& report) {
    if (checks.empty()) return;
    Pool pool;
    pool.checks = &checks;
    report(0, 0);
    ULONGLONG lastReport = GetTickCount64();
    // Working alone, the calling thread reports between files once the interval has passed.
    auto reportIfDue = [&] {
        const ULONGLONG now = GetTickCount64();
        const size_t finished = pool.finished.load();
        if (now - lastReport < reportEveryMs || finished == checks.size()) return;
        lastReport = now;
        report(finished, pool.current.load(std::memory_order_relaxed));
    };

    std::vector<UniqueHandle> workers;
    const size_t wanted = threads < checks.size() ? threads : checks.size();
    if (wanted > 1) {
        workers.reserve(wanted);
        for (size_t t = 0; t < wanted; ++t) {
            UniqueHandle h(CreateThread(nullptr, 256 * 1024, WorkerMain, &pool, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
            if (!h) break;
            workers.push_back(std::move(h));
        }
    }
    if (workers.empty()) {
        Work(pool, reportIfDue);
        return;
    }
    // The wait is the throttle: a report each time it runs out with files still left.
    std::exception_ptr error;
    AcquireSRWLockExclusive(&pool.lock);
    while (pool.finished.load() < checks.size() && !pool.stop) {
        SleepConditionVariableSRW(&pool.allDone, &pool.lock, reportEveryMs ? reportEveryMs : 1, 0);
        const size_t finished = pool.finished.load();
        if (finished == checks.size() || pool.stop) break;
        ReleaseSRWLockExclusive(&pool.lock);
        try {
            report(finished, pool.current.load(std::memory_order_relaxed));
        } catch (...) {
            error = std::current_exception();
            pool.stop = true;  // the workers still read the pool: they end before this frame does
        }
        AcquireSRWLockExclusive(&pool.lock);
    }
    ReleaseSRWLockExclusive(&pool.lock);
    for (UniqueHandle& h : workers) WaitForSingleObject(h.get(), INFINITE);
    if (!error) error = pool.error;
    if (error) std::rethrow_exception(error);
}
