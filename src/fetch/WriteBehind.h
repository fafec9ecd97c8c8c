#pragma once
// A download's bytes written to its side file and hashed on a thread of their own, in the order they
// came, so the next network read never waits for the disk or the digest. The bytes in flight are
// bounded by a ring of kWriteBehindSlots chunks; a file of at most one chunk needs no thread.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/Handle.h"
#include "digest/Sha256.h"
#include "fetch/Pace.h"

constexpr DWORD kReceiveChunk = 256 * 1024;
constexpr int kWriteBehindSlots = 4;

struct WriteBehind {
    HANDLE file = nullptr;
    Sha256Stream* digest = nullptr;
    const Pace* pace = nullptr;  // the download's: the writer follows it into background mode
    int slotCount = 0;  // 1: written in line; kWriteBehindSlots: through the thread
    std::unique_ptr<uint8_t[]> slots[kWriteBehindSlots];
    DWORD sizes[kWriteBehindSlots] = {};

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    uint64_t committed = 0;  // chunks handed over
    uint64_t settled = 0;    // chunks written and hashed, or dropped after a failed write
    bool failed = false;     // a write failed: every later chunk is dropped
    bool quit = false;
    UniqueHandle thread;     // started with the first chunk

    WriteBehind() = default;
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;
    ~WriteBehind();
};

// Takes the buffers: one chunk for a file of at most one chunk, the ring for a larger one. False when
// the memory could not be had.
bool OpenWriteBehind(WriteBehind& w, HANDLE file, Sha256Stream& digest, uint64_t expectedSize);
// The buffer (kReceiveChunk bytes) for the next chunk; waits while every slot is in flight. Null once
// a write has failed.
uint8_t* NextChunk(WriteBehind& w);
// Hands over the `size` bytes just received into NextChunk's buffer.
void CommitChunk(WriteBehind& w, DWORD size);
// Waits until every chunk handed over is written and hashed: the side file and the digest are then
// the caller's again. False when a write failed.
bool SettleWrites(WriteBehind& w);
// Ends the thread (chunks not yet written are dropped); the side file may then be closed.
void StopWriteBehind(WriteBehind& w);
