#pragma once
#include <windows.h>

#include <string>

// Starts the game client prepared (Start Game) or any other program of the game folder plainly.
void LaunchProgram(const std::wstring& programName);

// Process creation is a seam: elevation can't be produced in tests.
// Returns 0 when the program started, else the error code of the failed start.
using ProcessStarter = DWORD (*)(const std::wstring& program, std::wstring& commandLine, const std::wstring& folder);
// The shell start used when elevation is required; true when it started.
using ShellStarter = bool (*)(const std::wstring& program, const wchar_t* parameters, const std::wstring& folder);
DWORD StartWithCreateProcess(const std::wstring& program, std::wstring& commandLine, const std::wstring& folder);
bool StartWithShell(const std::wstring& program, const wchar_t* parameters, const std::wstring& folder);
extern ProcessStarter gProcessStarter;
extern ShellStarter gShellStarter;
