#include "TestSupport.h"

#include <bcrypt.h>

#include <cstdlib>

namespace qt {

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), s.data(), n, nullptr, nullptr);
    return s;
}

std::wstring Wide(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), w.data(), n);
    return w;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::wstring UnixToWine(const std::string& unixPath) {
    std::wstring w = L"Z:" + Wide(unixPath);
    for (auto& c : w)
        if (c == L'/') c = L'\\';
    return w;
}

std::wstring BinaryDir() { return UnixToWine(QIRELL_BINARY_DIR); }
std::wstring SourceDir() { return UnixToWine(QIRELL_SOURCE_DIR); }

void RemoveTreeForTest(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = dir + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTreeForTest(child);
            else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(child.c_str());
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(dir.c_str());
}

void MakeDirs(const std::wstring& dir) {
    for (size_t i = 0; i < dir.size(); ++i)
        if ((dir[i] == L'\\' || dir[i] == L'/') && i > 2) CreateDirectoryW(dir.substr(0, i).c_str(), nullptr);
    CreateDirectoryW(dir.c_str(), nullptr);
}

std::wstring FreshDir(const std::wstring& name) {
    wchar_t tmp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, tmp);
    std::wstring root = std::wstring(tmp) + L"qirell-tests";
    CreateDirectoryW(root.c_str(), nullptr);
    std::wstring dir = root + L"\\" + name;
    RemoveTreeForTest(dir);
    MakeDirs(dir);
    return dir;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    size_t off = 0;
    bool ok = true;
    while (off < bytes.size()) {
        DWORD chunk = (DWORD)std::min<size_t>(bytes.size() - off, 1 << 20), written = 0;
        if (!WriteFile(h, bytes.data() + off, chunk, &written, nullptr) || written != chunk) {
            ok = false;
            break;
        }
        off += chunk;
    }
    CloseHandle(h);
    return ok;
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    CloseHandle(h);
    return out;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

uint64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return 0;
    return (uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

DWORD WaitForExit(HANDLE process, DWORD timeoutMs) {
    DWORD code = 999;
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) TerminateProcess(process, 998);
    WaitForSingleObject(process, 5000);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

HANDLE StartProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir, DWORD* pid) {
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!args.empty()) cmd += L" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    if (pid) *pid = pi.dwProcessId;
    return pi.hProcess;
}

ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                         DWORD timeoutMs) {
    ProcessResult r;
    HANDLE h = StartProcess(exe, args, workDir);
    if (!h) return r;
    r.started = true;
    if (WaitForSingleObject(h, timeoutMs) != WAIT_OBJECT_0) {
        r.timedOut = true;
        TerminateProcess(h, 99);
        WaitForSingleObject(h, 5000);
    }
    GetExitCodeProcess(h, &r.exitCode);
    CloseHandle(h);
    return r;
}

std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 7;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

std::string Sha256Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, (PUCHAR)bytes.data(), (ULONG)bytes.size(), 0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

}  // namespace qt
