#pragma once
#include <windows.h>

#include <string>

enum class LaunchError {
    None,
    Declined,       // the player chose not to start from a folder old programs cannot open
    NotConfigured,  // the display was never set up on this machine; nothing was started
    CannotStart,
};

// Starts the game client prepared (Start Game) or any other program of the game folder plainly. When
// the game folder has characters outside the ANSI code page, confirmOddFolder() is asked first; false
// stops the start. Writes no text: the caller says what the error means.
LaunchError LaunchProgram(const std::wstring& programName, bool (*confirmOddFolder)());

DWORD StartWithCreateProcess(const std::wstring& program, std::wstring& commandLine, const std::wstring& folder);
bool StartWithShell(const std::wstring& program, const wchar_t* parameters, const std::wstring& folder);
