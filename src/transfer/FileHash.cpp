#include "transfer/FileHash.h"

#include <windows.h>

#include "base/Handle.h"
#include "transfer/Sha256.h"

// One read at a time on a thread of its own, handed over under a slim lock (no kernel object per read).
struct ReadAhead {
    enum State { Idle, Asked, Done, Quit };
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    State state = Idle;
    HANDLE file = nullptr;
    uint8_t* into = nullptr;
    DWORD want = 0;
    DWORD got = 0;
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
        while (r.state != ReadAhead::Asked && r.state != ReadAhead::Quit)
            SleepConditionVariableSRW(&r.changed, &r.lock, INFINITE, 0);
        if (r.state == ReadAhead::Quit) break;
        HANDLE file = r.file;
        uint8_t* into = r.into;
        const DWORD want = r.want;
        ReleaseSRWLockExclusive(&r.lock);
        const DWORD got = ReadSome(file, into, want);
        AcquireSRWLockExclusive(&r.lock);
        r.got = got;
        r.state = ReadAhead::Done;
        WakeAllConditionVariable(&r.changed);
    }
    ReleaseSRWLockExclusive(&r.lock);
    return 0;
}

void Ask(ReadAhead& r, HANDLE file, uint8_t* into, DWORD want) {
    AcquireSRWLockExclusive(&r.lock);
    r.file = file;
    r.into = into;
    r.want = want;
    r.state = ReadAhead::Asked;
    ReleaseSRWLockExclusive(&r.lock);
    WakeAllConditionVariable(&r.changed);
}

DWORD Collect(ReadAhead& r) {
    AcquireSRWLockExclusive(&r.lock);
    while (r.state != ReadAhead::Done) SleepConditionVariableSRW(&r.changed, &r.lock, INFINITE, 0);
    r.state = ReadAhead::Idle;
    const DWORD got = r.got;
    ReleaseSRWLockExclusive(&r.lock);
    return got;
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

uint8_t* Buffer(FileHashScratch& s, int which) {
    // Left uninitialised: only the pages a read fills are ever touched.
    if (!s.buffers[which]) s.buffers[which].reset(new uint8_t[kHashChunk]);
    return s.buffers[which].get();
}

}  // namespace

FileHashScratch::~FileHashScratch() {
    if (!readAhead) return;
    AcquireSRWLockExclusive(&readAhead->lock);
    readAhead->state = ReadAhead::Quit;
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
        uint8_t* next = Buffer(scratch, 1);
        ReadAhead* reader = StartReadAhead(scratch);
        while (got) {
            if (reader) {
                Ask(*reader, file.get(), next, static_cast<DWORD>(kHashChunk));
                Sha256Add(stream, current, got);
                got = Collect(*reader);
            } else {
                Sha256Add(stream, current, got);
                got = ReadSome(file.get(), next, static_cast<DWORD>(kHashChunk));
            }
            std::swap(current, next);
        }
    } else {
        Sha256Add(stream, current, got);
    }
    return Sha256Finish(stream, digest) ? FileDigest::Digested : FileDigest::Unreadable;
}
