#pragma once
// Helpers shared by the tests that run under Wine: folders, files, processes, Linux paths.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qt {

// A fresh, empty folder under the test temp root (any earlier one of that name is removed).
std::wstring FreshDir(const std::wstring& name);
void RemoveTreeForTest(const std::wstring& dir);

bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);  // empty when missing
bool Exists(const std::wstring& path);
uint64_t SizeOf(const std::wstring& path);
void MakeDirs(const std::wstring& dir);  // like mkdir -p

// A Linux path (from the environment or the build) as Wine sees it on drive Z:.
std::wstring UnixToWine(const std::string& unixPath);
std::string Env(const char* name);  // empty when unset
// build/ and the source tree as Wine paths.
std::wstring BinaryDir();
std::wstring SourceDir();

struct ProcessResult {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
};
// Runs exe with args (no quoting added to args) in workDir; waits at most timeoutMs, then kills it.
ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                         DWORD timeoutMs = 60000);
// Waits at most timeoutMs for a started process, kills it after that, closes the handle and returns its
// exit code (998 when it had to be killed).
DWORD WaitForExit(HANDLE process, DWORD timeoutMs = 30000);
// Starts without waiting; returns the process handle (caller closes) or null.
HANDLE StartProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                    DWORD* pid = nullptr);

std::string Utf8(const std::wstring& w);
std::wstring Wide(const std::string& s);
std::string Sha256Hex(const std::string& bytes);  // via CNG, independent of the code under test
// n bytes that look random and differ with the seed; the same for the same arguments.
std::string Pattern(size_t n, uint32_t seed);

}  // namespace qt
