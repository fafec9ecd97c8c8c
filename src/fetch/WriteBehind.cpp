#include "fetch/WriteBehind.h"

#include <new>

namespace {

bool WriteAndHash(WriteBehind& w, const uint8_t* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(w.file, data, size, &written, nullptr) || written != size) return false;
    Sha256Add(*w.digest, data, size);
    return true;
}

// Allocates nothing and throws nothing: a failure is a flag the receiving side reads.
DWORD WINAPI WriterMain(LPVOID param) {
    WriteBehind& w = *static_cast<WriteBehind*>(param);
    bool background = false;
    AcquireSRWLockExclusive(&w.lock);
    for (;;) {
        while (!w.quit && w.settled == w.committed) SleepConditionVariableSRW(&w.changed, &w.lock, INFINITE, 0);
        if (w.settled == w.committed) break;
        const size_t slot = w.settled % w.slotCount;
        const bool drop = w.failed || w.quit;
        ReleaseSRWLockExclusive(&w.lock);
        FollowPaceBackground(w.pace, background);
        const bool ok = drop || WriteAndHash(w, w.slots[slot].get(), w.sizes[slot]);
        AcquireSRWLockExclusive(&w.lock);
        if (!ok) w.failed = true;
        ++w.settled;
        WakeAllConditionVariable(&w.changed);
    }
    ReleaseSRWLockExclusive(&w.lock);
    return 0;
}

}  // namespace

WriteBehind::~WriteBehind() { StopWriteBehind(*this); }

bool OpenWriteBehind(WriteBehind& w, HANDLE file, Sha256Stream& digest, uint64_t expectedSize) {
    w.file = file;
    w.digest = &digest;
    w.slotCount = expectedSize > kReceiveChunk ? kWriteBehindSlots : 1;
    // Left uninitialised: only the bytes a read fills are touched.
    for (int i = 0; i < w.slotCount; ++i) {
        w.slots[i].reset(new (std::nothrow) uint8_t[kReceiveChunk]);
        if (!w.slots[i]) return false;
    }
    return true;
}

uint8_t* NextChunk(WriteBehind& w) {
    AcquireSRWLockExclusive(&w.lock);
    while (!w.failed && w.committed - w.settled >= static_cast<uint64_t>(w.slotCount))
        SleepConditionVariableSRW(&w.changed, &w.lock, INFINITE, 0);
    uint8_t* chunk = w.failed ? nullptr : w.slots[w.committed % w.slotCount].get();
    ReleaseSRWLockExclusive(&w.lock);
    return chunk;
}

void CommitChunk(WriteBehind& w, DWORD size) {
    const size_t slot = w.committed % w.slotCount;
    if (w.slotCount > 1 && !w.thread) {
        // The writer needs little stack: WriteFile and the digest.
        w.thread.reset(CreateThread(nullptr, 256 * 1024, WriterMain, &w, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        // Without a thread the ring still works, one chunk at a time in line.
        if (!w.thread) w.slotCount = 1;
    }
    if (!w.thread) {
        if (!w.failed && !WriteAndHash(w, w.slots[slot].get(), size)) w.failed = true;
        ++w.committed;
        ++w.settled;
        return;
    }
    AcquireSRWLockExclusive(&w.lock);
    w.sizes[slot] = size;
    ++w.committed;
    ReleaseSRWLockExclusive(&w.lock);
    WakeAllConditionVariable(&w.changed);
}

bool SettleWrites(WriteBehind& w) {
    AcquireSRWLockExclusive(&w.lock);
    while (w.settled != w.committed) SleepConditionVariableSRW(&w.changed, &w.lock, INFINITE, 0);
    const bool ok = !w.failed;
    ReleaseSRWLockExclusive(&w.lock);
    return ok;
}

void StopWriteBehind(WriteBehind& w) {
    if (!w.thread) return;
    AcquireSRWLockExclusive(&w.lock);
    w.quit = true;
    ReleaseSRWLockExclusive(&w.lock);
    WakeAllConditionVariable(&w.changed);
    WaitForSingleObject(w.thread.get(), INFINITE);
    w.thread.reset();
}
