#include "app/SupportLog.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "base/Handle.h"
#include "state/StateNames.h"

namespace {

constexpr size_t kPendingBytes = 64 * 1024;
constexpr ULONGLONG kPendingMs = 250;

struct SupportLog {
    std::mutex lock;
    std::wstring folder;
    UniqueFile file;
    uint64_t size = 0;
    std::string pending;
    ULONGLONG lastWrite = 0;
    int64_t localBias = 0;  // local time minus UTC in 100 ns units, taken when the log is opened
};

SupportLog& Log() {
    static SupportLog* log = new SupportLog;  // never destroyed: threads may log while the process ends
    return *log;
}

bool OpenFile(SupportLog& log) {
    const std::wstring path = log.folder + L"\\" + kLogFileNameW;
    log.file.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!log.file || !GetFileSizeEx(log.file.get(), &size)) {
        log.file.reset();
        return false;
    }
    log.size = static_cast<uint64_t>(size.QuadPart);
    return true;
}

// Under the lock. A log that cannot be written is given up quietly: it must never stop a run.
void WritePending(SupportLog& log) {
    log.lastWrite = GetTickCount64();
    if (log.pending.empty() || !log.file) return;
    if (log.size > 0 && log.size + log.pending.size() > kLogRotateBytes) {
        log.file.reset();
        MoveFileExW((log.folder + L"\\" + kLogFileNameW).c_str(), (log.folder + L"\\" + kOldLogFileNameW).c_str(),
                    MOVEFILE_REPLACE_EXISTING);
        if (!OpenFile(log)) return;
    }
    DWORD written = 0;
    if (WriteFile(log.file.get(), log.pending.data(), static_cast<DWORD>(log.pending.size()), &written, nullptr))
        log.size += written;
    log.pending.clear();
}

}  // namespace

void OpenLog(const std::wstring& folder) {
    SupportLog& log = Log();
    std::lock_guard<std::mutex> hold(log.lock);
    WritePending(log);
    log.file.reset();
    log.folder = folder;
    // Reading the local time per line costs a time-zone look-up each; the offset is read once.
    SYSTEMTIME local;
    GetLocalTime(&local);
    FILETIME localFile, utcFile;
    GetSystemTimeAsFileTime(&utcFile);
    if (SystemTimeToFileTime(&local, &localFile))
        log.localBias = ((int64_t(localFile.dwHighDateTime) << 32 | localFile.dwLowDateTime) -
                         (int64_t(utcFile.dwHighDateTime) << 32 | utcFile.dwLowDateTime)) /
                        (60 * 10000000LL) * (60 * 10000000LL);  // whole minutes
    if (!folder.empty() && (CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS))
        OpenFile(log);
}

void AppendLog(const std::string& line) {
    SupportLog& log = Log();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks = (int64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) + log.localBias;
    const FILETIME local = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME t{};
    FileTimeToSystemTime(&local, &t);
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds, GetCurrentProcessId());
    std::lock_guard<std::mutex> hold(log.lock);
    if (!log.file) return;
    log.pending += stamp;
    log.pending += line;
    log.pending += "\r\n";
    if (log.pending.size() >= kPendingBytes || GetTickCount64() - log.lastWrite >= kPendingMs) WritePending(log);
}

void FlushLog() {
    SupportLog& log = Log();
    std::lock_guard<std::mutex> hold(log.lock);
    WritePending(log);
}
