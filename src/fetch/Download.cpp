#include "fetch/Download.h"

#include "base/StatusBoard.h"
#include "text/Text.h"
#include "net/RangeRules.h"
#include "net/ServerFacts.h"
#include "digest/Sha256.h"
#include "text/SizeText.h"
#include "fetch/ProgressMeter.h"
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
    std::wstring& failureText;
    HANDLE sideFile;
    Sha256Stream digest;
    uint64_t received = 0;
    uint64_t written = 0;  // over every attempt, restarts included
    WriteBehind writer;    // between requests every byte received is written and hashed
};

// How one request ended. Only the two Broken kinds may be continued by another request.
enum class Outcome { BodyEnded, BodyBroken, SendBroken, Failed };

bool Cancelled(const Transfer& t) { return t.cancel && t.cancel->cancelled.load(); }

void Report(Transfer& t, int64_t change) {
    if (t.progress.report) t.progress.report(t.progress.context, t.received, change);
}

std::wstring SizeText(const DownloadFile& file) {
    return L"ขนาดไฟล์ที่ดาวน์โหลดไม่ตรง (" + file.displayName + L")";
}

std::wstring WriteText(const DownloadFile& file) {
    return L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): " + file.displayName;
}

bool Prepare(HttpSession& session, const DownloadFile& file, GetRequest& get, std::wstring& failureText) {
    switch (PrepareGet(session.handle.get(), file.fileUrl, kFileTimeouts, get)) {
    case PrepareStep::Url: failureText = L"URL ไฟล์ไม่ถูกต้อง: " + file.displayName; return false;
    case PrepareStep::Connect: failureText = L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่ได้"; return false;
    case PrepareStep::Request: failureText = L"สร้างคำขอดาวน์โหลดไม่สำเร็จ"; return false;
    case PrepareStep::Done: break;
    }
    return true;
}

// A server that answers a range with the whole file: the side file and the digest start over.
bool StartOver(Transfer& t) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(t.sideFile, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(t.sideFile)) {
        t.failureText = WriteText(t.file);
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

// Each read goes into the next free chunk of the ring and is handed to the writer at once.
Outcome ReceiveChunks(Transfer& t, HINTERNET request) {
    const uint64_t expected = t.file.expectedSize;
    DWORD want = kFirstRead;
    for (;;) {
        if (Cancelled(t)) {
            t.failureText = L"ยกเลิกการดาวน์โหลด " + t.file.displayName;
            return Outcome::Failed;
        }
        uint8_t* chunk = NextChunk(t.writer);
        if (!chunk) {
            t.failureText = WriteText(t.file);
            return Outcome::Failed;
        }
        DWORD read = 0;
        const DWORD started = GetTickCount();
        if (!WinHttpReadData(request, chunk, want, &read) || read == 0) {
            // A connection lost right after the last byte leaves nothing to continue.
            if (t.received == expected) return Outcome::BodyEnded;
            t.failureText = SizeText(t.file);
            return Outcome::BodyBroken;
        }
        want = NextReadSize(want, GetTickCount() - started);
        // A server sending more than announced must not fill the disk: stop before writing past the size.
        if (read > expected - t.received) {
            t.failureText = SizeText(t.file);
            return Outcome::Failed;
        }
        CommitChunk(t.writer, read);
        t.received += read;
        t.written += read;
        Report(t, read);
    }
}

// The request's body; when it ends, every byte received is on disk and in the digest.
Outcome ReceiveBody(Transfer& t, HINTERNET request) {
    const Outcome outcome = ReceiveChunks(t, request);
    if (!SettleWrites(t.writer)) {
        t.failureText = WriteText(t.file);
        return Outcome::Failed;
    }
    return outcome;
}

// One request: from the start, or (bytes already written) a range from where the side file ends.
Outcome Exchange(Transfer& t, HINTERNET request) {
    const uint64_t from = t.received;
    const std::wstring range = from > 0 ? Utf8ToWide(RangeHeaderLine(from, kOpenEnd)) : std::wstring();
    if (!SendGet(request, range)) {
        t.failureText = L"การเชื่อมต่อขาดหายขณะดาวน์โหลด " + t.file.displayName;
        return Outcome::SendBroken;
    }
    const DWORD status = QueryStatus(request);
    if (from > 0 && status == 206) {
        ContentRange answer;
        if (!ParseContentRange(QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE), answer) ||
            !RangeAnswers(answer, from, kOpenEnd, t.file.expectedSize)) {
            t.failureText = SizeText(t.file);
            return Outcome::SendBroken;
        }
    } else if (status == 200) {
        if (from > 0 && !StartOver(t)) return Outcome::Failed;
    } else {
        t.failureText = L"ดาวน์โหลด " + t.file.displayName + L" ไม่สำเร็จ (HTTP " + std::to_wstring(status) + L")";
        return Outcome::Failed;
    }
    return ReceiveBody(t, request);
}

Outcome Attempt(Transfer& t, GetRequest& get) {
    if (Cancelled(t)) {
        t.failureText = L"ยกเลิกการดาวน์โหลด " + t.file.displayName;
        return Outcome::Failed;
    }
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
    uint8_t bytes[32];
    if (!Sha256Finish(t.digest, bytes)) {
        t.failureText = L"คำนวณ SHA-256 ไม่สำเร็จ";
        return false;
    }
    if (t.received != t.file.expectedSize) {
        t.failureText = SizeText(t.file);
        return false;
    }
    if (HexLower(bytes, sizeof bytes) != t.file.expectedSha256) {
        t.failureText = L"ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: " + t.file.displayName;
        return false;
    }
    return true;
}

bool Fetch(HttpSession& session, Transfer& t, GetRequest& first) {
    Outcome outcome = Attempt(t, first);
    // The time budget runs while no byte arrives; an attempt that brings bytes starts it again.
    DWORD stalledSince = GetTickCount();
    uint64_t writtenBefore = t.written;
    for (int attempt = 1; t.file.resume && attempt <= kResumeAttempts; ++attempt) {
        if (outcome != Outcome::BodyBroken && outcome != Outcome::SendBroken) break;
        const uint32_t pause = ResumePauseMs(attempt);
        if (GetTickCount() - stalledSince + pause > kResumeBudgetMs || !PauseUnlessCancelled(t, pause)) break;
        GetRequest next;
        if (!Prepare(session, t.file, next, t.failureText)) return false;
        outcome = Attempt(t, next);
        if (t.written != writtenBefore) {
            stalledSince = GetTickCount();
            writtenBefore = t.written;
        }
    }
    if (outcome == Outcome::Failed || outcome == Outcome::SendBroken) return false;
    return Verify(t);
}

struct SerialPublisher {
    const std::wstring& displayName;
    uint64_t expectedSize;
    ProgressMeter meter;
};

void PublishSerial(void* context, uint64_t received, int64_t change) {
    SerialPublisher& p = *static_cast<SerialPublisher*>(context);
    MeterAdd(p.meter, change);
    if (!MeterDue(p.meter, received == p.expectedSize)) return;
    UpdateStatus(L"กำลังดาวน์โหลดอัปเดต...",
                 L"กำลังดาวน์โหลด " + p.displayName + L" (" + FormatSize(received) + L" / " +
                     FormatSize(p.expectedSize) + L")",
                 MeterPermille(p.meter));
}

}  // namespace

void CancelDownload(DownloadCancel& cancel) { cancel.cancelled = true; }

bool DownloadVerifiedFile(HttpSession& session, const DownloadFile& file, const DownloadProgress& progress,
                          DownloadCancel* cancel, std::wstring& failureText) {
    GetRequest first;
    if (!Prepare(session, file, first, failureText)) return false;
    UniqueFile sideFile(CreateFileW(file.tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!sideFile) {
        failureText = L"สร้างไฟล์ชั่วคราวไม่ได้: " + file.tempPath;
        return false;
    }
    Transfer t{file, progress, cancel, failureText, sideFile.get(), Sha256Stream{}, 0, 0, {}};
    Sha256Begin(t.digest);
    bool verified = false;
    if (OpenWriteBehind(t.writer, sideFile.get(), t.digest, file.expectedSize))
        verified = Fetch(session, t, first);
    else
        failureText = L"หน่วยความจำไม่พอสำหรับดาวน์โหลด " + file.displayName;
    StopWriteBehind(t.writer);
    sideFile.reset();
    if (!verified) DeleteFileW(file.tempPath.c_str());
    return verified;
}

bool DownloadVerifiedFile(HttpSession& session, const std::wstring& fileUrl, const std::wstring& tempPath,
                          const std::wstring& displayName, uint64_t expectedSize,
                          const std::string& expectedSha256, uint64_t& bytesDone, uint64_t bytesTotal,
                          bool resume, std::wstring& failureText) {
    const DownloadFile file{fileUrl, tempPath, displayName, expectedSize, expectedSha256, resume};
    SerialPublisher publisher{displayName, expectedSize, {}};
    publisher.meter.total = bytesTotal;
    publisher.meter.done = bytesDone;
    const DownloadProgress progress{PublishSerial, &publisher};
    const bool verified = DownloadVerifiedFile(session, file, progress, nullptr, failureText);
    bytesDone = publisher.meter.done;
    return verified;
}

bool DownloadVerifiedFile(const std::wstring& fileUrl, const std::wstring& tempPath,
                          const std::wstring& displayName, uint64_t expectedSize,
                          const std::string& expectedSha256, uint64_t& bytesDone, uint64_t bytesTotal,
                          std::wstring& failureText) {
    RequestTarget target;
    if (!SplitRequestUrl(fileUrl, target)) {
        failureText = L"URL ไฟล์ไม่ถูกต้อง: " + displayName;
        return false;
    }
    HttpSession session;
    if (!OpenHttpSession(session, failureText)) {
        failureText = L"เปิด WinHTTP ไม่สำเร็จ";
        return false;
    }
    return DownloadVerifiedFile(session, fileUrl, tempPath, displayName, expectedSize, expectedSha256, bytesDone,
                                bytesTotal, false, failureText);
}
