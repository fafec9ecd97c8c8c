#pragma once
#include <windows.h>

#include <string>

#include "base/Handle.h"

enum class LaunchError {
    None,
    Declined,       // the player chose not to start from a folder old programs cannot open
    NotConfigured,  // the display was never set up on this machine; nothing was started
    CannotStart,
};

// Starts the game client prepared (Start Game) or any other program of the game folder plainly. When
// the game folder has characters outside the ANSI code page, confirmOddFolder() is asked first; false
// stops the start. Writes no text: the caller says what the error means. With `started`, a program that
// started leaves its process handle there, when the system gave one (a shell start may not).
LaunchError LaunchProgram(const std::wstring& programName, bool (*confirmOddFolder)(), UniqueHandle* started = nullptr);

// The two ways of starting; `process` (may be null) receives the started process's handle, the caller's to close.
DWORD StartWithCreateProcess(const std::wstring& program, std::wstring& commandLine, const std::wstring& folder,
                             HANDLE* process);
bool StartWithShell(const std::wstring& program, const wchar_t* parameters, const std::wstring& folder,
                    HANDLE* process);
