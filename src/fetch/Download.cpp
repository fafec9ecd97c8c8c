#include "fetch/Download.h"

#include "net/RangeRules.h"
#include "net/ServerFacts.h"
#include "digest/Sha256.h"
#include "fetch/WriteBehind.h"

namespace {

// Reads ask for as much as the line brings in a few tens of milliseconds, up to a whole chunk: large
// reads on a fast line, and on a slow one progress and a cancel are still seen often.
constexpr DWORD kFirstRead = 64 * 1024;
constexpr DWORD kSmallestRead = 16 * 1024;
constexpr DWORD kQuickReadMs = 20;
constexpr DWORD kSlowReadMs = 100;

struct Transfer {
    const DownloadFile& file;
    const DownloadProgress& progress;
    DownloadCancel* cancel;
    FetchResult& result;
    HANDLE sideFile;
    Sha256Stream digest;
    uint64_t received = 0;
    uint64_t written = 0;  // over every attempt, restarts included
    WriteBehind writer;    // between requests every byte received is written and hashed
    std::string validator;  // of the answer the side file's bytes come from; sent as If-Range
    bool continued = false;  // the side file began with an earlier run's bytes
    bool background = false;  // this thread has entered background mode for the pace
};

// How one request ended. Only the two Broken kinds may be continued by another request.
enum class Outcome { BodyEnded, BodyBroken, SendBroken, Failed };

bool Cancelled(const Transfer& t) {
    return (t.cancel && t.cancel->cancelled.load()) || (t.file.stop && t.file.stop->cancelled.load());
}

void Report(Transfer& t, int64_t change) {
    if (t.progress.report) t.progress.report(t.progress.context, t.received, change);
}

// The system's error goes with the failures that a system call ended.
Outcome Ended(Transfer& t, FetchCode code, Outcome outcome) {
    t.result.code = code;
    if (code == FetchCode::ConnectionLost || code == FetchCode::WriteFailed || outcome == Outcome::BodyBroken)
        t.result.systemError = GetLastError();
    return outcome;
}

bool Prepare(HttpSession& session, const DownloadFile& file, GetRequest& get, FetchResult& result) {
    const PrepareStep step = PrepareGet(session.handle.get(), file.fileUrl, kFileTimeouts, get, session.proxy.get());
    result.systemError = step == PrepareStep::Done ? 0 : GetLastError();
    switch (step) {
    case PrepareStep::Url: result.code = FetchCode::BadUrl; return false;
    case PrepareStep::Connect: result.code = FetchCode::NoConnection; return false;
    case PrepareStep::Request: result.code = FetchCode::NoRequest; return false;
    case PrepareStep::Done: break;
    }
    return true;
}

// A server that answers a range with the whole file: the side file and the digest start over.
bool StartOver(Transfer& t) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(t.sideFile, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(t.sideFile)) {
        t.result.code = FetchCode::WriteFailed;
        return false;
    }
    const uint64_t dropped = t.received;
    t.received = 0;
    Sha256Begin(t.digest);  // releases the old hash before its provider
    Report(t, -static_cast<int64_t>(dropped));
    return true;
}

DWORD NextReadSize(DWORD size, DWORD tookMs) {
    if (tookMs < kQuickReadMs) return size * 2 < kReceiveChunk ? size * 2 : kReceiveChunk;
    if (tookMs > kSlowReadMs) return size / 2 > kSmallestRead ? size / 2 : kSmallestRead;
    return size;
}

// With resume, a new validator is passed on before any byte of its answer reaches the side file.
void KeepValidator(Transfer& t, HINTERNET request) {
    if (!t.file.resume) return;
    const std::string validator = ResponseValidator(request);
    if (validator == t.validator) return;
    t.validator = validator;
    if (t.file.keepValidator) t.file.keepValidator(t.file.keepContext, validator);
}

// Each read goes into the next free chunk of the ring and is handed to the writer at once.
Outcome ReceiveChunks(Transfer& t, HINTERNET request) {
    const uint64_t expected = t.file.expectedSize;
    DWORD want = kFirstRead;
    for (;;) {
        if (Cancelled(t)) return Ended(t, FetchCode::Cancelled, Outcome::Failed);
        uint8_t* chunk = NextChunk(t.writer);
        if (!chunk) return Ended(t, FetchCode::WriteFailed, Outcome::Failed);
        DWORD read = 0;
        const DWORD started = GetTickCount();
        if (!WinHttpReadData(request, chunk, PaceReadSize(t.file.pace, want), &read) || read == 0) {
            // A connection lost right after the last byte leaves nothing to continue.
            if (t.received == expected) return Outcome::BodyEnded;
            return Ended(t, FetchCode::WrongSize, Outcome::BodyBroken);
        }
        want = NextReadSize(want, GetTickCount() - started);
        // A server sending more than announced must not fill the disk: stop before writing past the size.
        if (read > expected - t.received) return Ended(t, FetchCode::WrongSize, Outcome::Failed);
        CommitChunk(t.writer, read);
        t.received += read;
        t.written += read;
        Report(t, read);
        PaceAfterRead(t.file.pace, read, t.cancel, t.file.stop, t.background);  // a cancel is seen at the top
    }
}

// The request's body; when it ends, every byte received is on disk and in the digest.
Outcome ReceiveBody(Transfer& t, HINTERNET request) {
    const Outcome outcome = ReceiveChunks(t, request);
    if (!SettleWrites(t.writer)) return Ended(t, FetchCode::WriteFailed, Outcome::Failed);
    return outcome;
}

// One request: from the start, or (bytes already written) a range from where the side file ends.
Outcome Exchange(Transfer& t, HINTERNET request) {
    const uint64_t from = t.received;
    DWORD status = 0;
    switch (StartRangedGet(request, from, kOpenEnd, t.file.expectedSize, status, t.validator)) {
    case RangeStart::Unsent: return Ended(t, FetchCode::ConnectionLost, Outcome::SendBroken);
    case RangeStart::BadRange: return Ended(t, FetchCode::WrongSize, Outcome::SendBroken);
    case RangeStart::Whole:
        if (from > 0 && !StartOver(t)) return Outcome::Failed;
        break;
    case RangeStart::Part: break;
    case RangeStart::Refused:
        t.result.httpStatus = status;
        return Ended(t, FetchCode::HttpStatus, Outcome::Failed);
    }
    KeepValidator(t, request);
    return ReceiveBody(t, request);
}

Outcome Attempt(Transfer& t, GetRequest& get) {
    if (Cancelled(t)) return Ended(t, FetchCode::Cancelled, Outcome::Failed);
    return Exchange(t, get.request.get());
}

bool PauseUnlessCancelled(const Transfer& t, uint32_t ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (Cancelled(t)) return false;
        Sleep(20);
    }
    return !Cancelled(t);
}

bool Verify(Transfer& t) {
    t.result.code = CheckSideFile(t.digest, t.received, t.file.expectedSize, t.file.expectedSha256);
    return t.result.code == FetchCode::Verified;
}

// The bytes an earlier run left in the side file, read and hashed again: nothing of them is taken on
// trust. False when they cannot be read; more than the file's size starts the file over.
bool TakeEarlierBytes(Transfer& t) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(t.sideFile, &size)) return false;
    if (static_cast<uint64_t>(size.QuadPart) > t.file.expectedSize) return StartOver(t);
    uint8_t* chunk = NextChunk(t.writer);  // the ring is idle: its first buffer serves as scratch
    if (!chunk) return false;
    uint64_t left = static_cast<uint64_t>(size.QuadPart);
    while (left > 0) {
        DWORD read = 0;
        const DWORD want = left < kReceiveChunk ? static_cast<DWORD>(left) : kReceiveChunk;
        if (!ReadFile(t.sideFile, chunk, want, &read, nullptr) || read == 0) return false;
        Sha256Add(t.digest, chunk, read);
        left -= read;
        t.received += read;
    }
    t.continued = t.received > 0;
    if (t.received > 0) Report(t, static_cast<int64_t>(t.received));
    return true;
}

bool Fetch(HttpSession& session, Transfer& t, GetRequest& first) {
    // Everything is already there: only the check is left.
    if (t.continued && t.received == t.file.expectedSize) return Verify(t);
    Outcome outcome = Attempt(t, first);
    // The time budget runs while no byte arrives; an attempt that brings bytes starts it again.
    DWORD stalledSince = GetTickCount();
    uint64_t writtenBefore = t.written;
    for (int attempt = 1; t.file.resume && attempt <= kResumeAttempts; ++attempt) {
        if (outcome != Outcome::BodyBroken && outcome != Outcome::SendBroken) break;
        const uint32_t pause = ResumePauseMs(attempt);
        if (GetTickCount() - stalledSince + pause > kResumeBudgetMs || !PauseUnlessCancelled(t, pause)) break;
        GetRequest next;
        if (!Prepare(session, t.file, next, t.result)) return false;
        outcome = Attempt(t, next);
        if (t.written != writtenBefore) {
            stalledSince = GetTickCount();
            writtenBefore = t.written;
        }
    }
    if (outcome == Outcome::Failed || outcome == Outcome::SendBroken) return false;
    return Verify(t);
}

}  // namespace

void CancelDownload(DownloadCancel& cancel) { cancel.cancelled = true; }

FetchCode CheckSideFile(Sha256Stream& digest, uint64_t written, uint64_t expectedSize,
                        const std::string& expectedSha256) {
    uint8_t bytes[32];
    if (!Sha256Finish(digest, bytes)) return FetchCode::HashFailed;
    if (written != expectedSize) return FetchCode::WrongSize;
    if (HexLower(bytes, sizeof bytes) != expectedSha256) return FetchCode::WrongDigest;
    return FetchCode::Verified;
}

FetchResult DownloadVerifiedFile(HttpSession& session, const DownloadFile& file, const DownloadProgress& progress,
                                 DownloadCancel* cancel) {
    FetchResult result;
    GetRequest first;
    if (!Prepare(session, file, first, result)) return result;
    const bool goOn = file.resume && !file.validator.empty();
    UniqueFile sideFile(CreateFileW(file.tempPath.c_str(), goOn ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE, 0,
                                    nullptr, goOn ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!sideFile) {
        result = {FetchCode::NoSideFile, 0, GetLastError()};
        return result;
    }
    Transfer t{file, progress, cancel, result, sideFile.get(), Sha256Stream{}, 0, 0, {}, goOn ? file.validator : "",
               false};
    Sha256Begin(t.digest);
    bool verified = false;
    t.writer.pace = file.pace;
    if (!OpenWriteBehind(t.writer, sideFile.get(), t.digest, file.expectedSize)) {
        result.code = FetchCode::NoMemory;
    } else if (goOn && !TakeEarlierBytes(t)) {
        result.code = FetchCode::WriteFailed;
    } else {
        verified = Fetch(session, t, first);
        // Bytes an earlier run left can be damaged (a power cut keeps a file's length, not always its
        // bytes): once, the whole file again from byte 0.
        if (!verified && t.continued && result.code == FetchCode::WrongDigest && StartOver(t)) {
            t.continued = false;
            t.validator.clear();
            GetRequest again;
            if (Prepare(session, file, again, result)) verified = Fetch(session, t, again);
        }
    }
    StopWriteBehind(t.writer);
    sideFile.reset();
    const bool keptForLater = result.code == FetchCode::Cancelled && file.stop && file.stop->cancelled.load() &&
                              file.resume && file.keepValidator && !t.validator.empty();
    if (!verified && !keptForLater) DeleteFileW(file.tempPath.c_str());
    return result;
}
