#include "digest/FileHash.h"

#include <windows.h>

#include "base/Handle.h"
#include "digest/Sha256.h"

// Reads the current file chunk after chunk into a ring of slots, at most kHashSlots ahead of the
// hashing, on a thread of its own; handed over under a slim lock (no kernel object per chunk).
struct ReadAhead {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    HANDLE file = nullptr;  // null between files
    uint8_t* slots[kHashSlots] = {};
    DWORD got[kHashSlots] = {};
    uint64_t filled = 0;    // chunks read from the current file
    uint64_t consumed = 0;  // chunks hashed and given back
    bool ended = false;     // a read brought nothing: no more reads of this file
    bool quit = false;
    UniqueHandle thread;
};

namespace {

DWORD ReadSome(HANDLE file, uint8_t* into, DWORD want) {
    DWORD got = 0;
    return ReadFile(file, into, want, &got, nullptr) ? got : 0;
}

DWORD WINAPI ReadAheadMain(LPVOID param) {
    ReadAhead& r = *static_cast<ReadAhead*>(param);
    AcquireSRWLockExclusive(&r.lock);
    for (;;) {
        while (!r.quit && !(r.file && !r.ended && r.filled - r.consumed < kHashSlots))
            SleepConditionVariableSRW(&r.changed, &r.lock, INFINITE, 0);
        if (r.quit) break;
        const size_t slot = r.filled % kHashSlots;
        HANDLE file = r.file;
        uint8_t* into = r.slots[slot];
        ReleaseSRWLockExclusive(&r.lock);
        const DWORD got = ReadSome(file, into, static_cast<DWORD>(kHashChunk));
        AcquireSRWLockExclusive(&r.lock);
        r.got[slot] = got;
        ++r.filled;
        if (!got) r.ended = true;
        WakeAllConditionVariable(&r.changed);
    }
    ReleaseSRWLockExclusive(&r.lock);
    return 0;
}

uint8_t* Buffer(FileHashScratch& s, int which) {
    // Left uninitialised: only the pages a read fills are ever touched.
    if (!s.buffers[which]) s.buffers[which].reset(new uint8_t[kHashChunk]);
    return s.buffers[which].get();
}

// The rest of the file after a first chunk already in slot 0, through the ring.
void HashTheRest(ReadAhead& r, FileHashScratch& s, HANDLE file, DWORD first, Sha256Stream& stream) {
    AcquireSRWLockExclusive(&r.lock);
    for (int i = 0; i < kHashSlots; ++i) r.slots[i] = Buffer(s, i);
    r.file = file;
    r.got[0] = first;
    r.filled = 1;
    r.consumed = 0;
    r.ended = false;
    ReleaseSRWLockExclusive(&r.lock);
    WakeAllConditionVariable(&r.changed);
    for (;;) {
        AcquireSRWLockExclusive(&r.lock);
        while (r.filled == r.consumed) SleepConditionVariableSRW(&r.changed, &r.lock, INFINITE, 0);
        const size_t slot = r.consumed % kHashSlots;
        const DWORD got = r.got[slot];
        if (!got) {
            // The reader has stopped for good on this file: it may be closed.
            r.file = nullptr;
            ReleaseSRWLockExclusive(&r.lock);
            return;
        }
        ReleaseSRWLockExclusive(&r.lock);
        Sha256Add(stream, r.slots[slot], got);
        AcquireSRWLockExclusive(&r.lock);
        ++r.consumed;
        ReleaseSRWLockExclusive(&r.lock);
        WakeAllConditionVariable(&r.changed);
    }
}

ReadAhead* StartReadAhead(FileHashScratch& s) {
    if (s.readAhead || s.readAheadFailed) return s.readAhead;
    ReadAhead* r = new ReadAhead;
    // The reader needs almost no stack.
    r->thread.reset(CreateThread(nullptr, 64 * 1024, ReadAheadMain, r, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!r->thread) {
        delete r;
        s.readAheadFailed = true;
        return nullptr;
    }
    s.readAhead = r;
    return r;
}

}  // namespace

FileHashScratch::~FileHashScratch() {
    if (!readAhead) return;
    AcquireSRWLockExclusive(&readAhead->lock);
    readAhead->quit = true;
    ReleaseSRWLockExclusive(&readAhead->lock);
    WakeAllConditionVariable(&readAhead->changed);
    WaitForSingleObject(readAhead->thread.get(), INFINITE);
    delete readAhead;
}

FileDigest DigestFile(FileHashScratch& scratch, const std::wstring& path, const uint64_t* sizeMustBe,
                      uint64_t& size, uint8_t digest[32]) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return FileDigest::Unreadable;
    LARGE_INTEGER measured{};
    if (!GetFileSizeEx(file.get(), &measured)) return FileDigest::Unreadable;
    size = static_cast<uint64_t>(measured.QuadPart);
    if (sizeMustBe && *sizeMustBe != size) return FileDigest::SizeDiffers;
    Sha256Stream stream;
    if (!Sha256Begin(stream)) return FileDigest::Unreadable;

    // A file smaller than a chunk comes in one read: asking one byte more than its size shows the
    // end without a second call.
    const DWORD first = static_cast<DWORD>(size < kHashChunk ? size + 1 : kHashChunk);
    uint8_t* current = Buffer(scratch, 0);
    DWORD got = ReadSome(file.get(), current, first);
    if (got == first) {
        // Larger than it said, or larger than a chunk: read on until a read brings nothing.
        if (ReadAhead* reader = StartReadAhead(scratch)) {
            HashTheRest(*reader, scratch, file.get(), got, stream);
        } else {
            uint8_t* next = Buffer(scratch, 1);
            while (got) {
                Sha256Add(stream, current, got);
                got = ReadSome(file.get(), next, static_cast<DWORD>(kHashChunk));
                std::swap(current, next);
            }
        }
    } else {
        Sha256Add(stream, current, got);
    }
    return Sha256Finish(stream, digest) ? FileDigest::Digested : FileDigest::Unreadable;
}
