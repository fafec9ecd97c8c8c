#pragma once
// Calls that tests stand in for, in one place. Unset (the default) means the real call. Tests set them
// only through qt::HooksScope (tests/support), which puts them back.
#include <windows.h>

#include <string>
#include <vector>

struct Hooks {
    // Starts a program plainly: 0 when it started, else the failed start's error code. With `process`, the
    // started process's handle goes there (the caller closes it).
    DWORD (*startProcess)(const std::wstring& program, std::wstring& commandLine, const std::wstring& folder,
                          HANDLE* process) = nullptr;
    // The shell start used when elevation is required; true when it started. `process` as above; the shell
    // may start a program without giving one (null then).
    bool (*startWithShell)(const std::wstring& program, const wchar_t* parameters, const std::wstring& folder,
                           HANDLE* process) = nullptr;
    // The display adapters' PnP device ids.
    std::vector<std::wstring> (*adapterIds)() = nullptr;
    bool (*clientRunning)() = nullptr;
    // Called on the run's helper threads before each piece of their work ("check", "download",
    // "ranges"); it may throw. Unset: nothing.
    void (*helperWork)(const char* where) = nullptr;
    // Whether the system asks for high contrast (SPI_GETHIGHCONTRAST).
    bool (*highContrast)() = nullptr;
};

extern Hooks gHooks;

// The hook when one is set, else the real call: Hooked(gHooks.clientRunning, IsClientProcessRunning)().
template <typename Call>
Call Hooked(Call hook, Call real) {
    return hook ? hook : real;
}
