#include "client/Launch.h"

#include <shellapi.h>

#include <vector>

#include "base/Handle.h"
#include "base/Hooks.h"
#include "base/StatusBoard.h"
#include "client/ClientFacts.h"
#include "client/GraphicsCompat.h"
#include "client/OptionFile.h"
#include "text/Text.h"

namespace {

constexpr wchar_t kLaunchToken[] = L"4vqe4";
constexpr wchar_t kStartMarkerName[] = L"QIRELL_PATCHER_OK";
constexpr wchar_t kStartMarkerValue[] = L"1";
constexpr wchar_t kDisplaySettingsKey[] = L"Software\\Morvane Soft\\Skelvard";

const wchar_t* const kDisplaySettingNames[] = {
    L"SOUNDMODE",        L"SPEAKERTYPE", L"DIGITALRATETYPE", L"DIGITALBITSTYPE", L"GUIDDRIVER",  L"GUIDDEVICE",
    L"DEVICENAME",       L"PROVIDERNAME", L"ISFULLSCREENMODE", L"WIDTH",          L"HEIGHT",      L"BITPERPIXEL",
    L"DEVICECNT",        L"MODECNT",     L"SPRITEMODE",      L"TEXTUREMODE",
};

constexpr DWORD kElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED, missing from some SDK headers

// Asks again with the length the call reports, so a deep game folder is never cut short.
std::wstring CurrentFolder() {
    std::wstring folder(MAX_PATH, L'\0');
    DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    if (n >= folder.size()) {
        folder.assign(n, L'\0');
        n = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    }
    folder.resize(n < folder.size() ? n : 0);
    return folder;
}

bool FolderFitsAnsiCodePage(const std::wstring& folder) {
    BOOL usedDefault = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, folder.c_str(), -1, nullptr, 0, nullptr, &usedDefault);
    return !usedDefault;
}

// Copies the display settings from the machine key to the user key; false: never configured here.
bool CopyDisplaySettings() {
    UniqueRegKey machine;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDisplaySettingsKey, 0, KEY_READ | KEY_WOW64_32KEY, machine.put()) !=
            ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDisplaySettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, machine.put()) !=
            ERROR_SUCCESS) {
        UniqueRegKey user;
        return RegOpenKeyExW(HKEY_CURRENT_USER, kDisplaySettingsKey, 0, KEY_READ, user.put()) == ERROR_SUCCESS;
    }
    UniqueRegKey user;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kDisplaySettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        nullptr, user.put(), nullptr) != ERROR_SUCCESS)
        return false;
    BYTE value[512];
    for (const wchar_t* name : kDisplaySettingNames) {
        DWORD type = 0, size = sizeof value;
        if (RegQueryValueExW(machine.get(), name, nullptr, &type, value, &size) == ERROR_SUCCESS)
            RegSetValueExW(user.get(), name, 0, type, value, size);
    }
    user.reset();  // the user key closes before the machine key
    return true;
}

}  // namespace

DWORD StartWithCreateProcess(const std::wstring& program, std::wstring& commandLine, const std::wstring& folder,
                             HANDLE* process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &started))
        return GetLastError();
    CloseHandle(started.hThread);
    if (process) *process = started.hProcess;
    else CloseHandle(started.hProcess);
    return 0;
}

bool StartWithShell(const std::wstring& program, const wchar_t* parameters, const std::wstring& folder,
                    HANDLE* process) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    if (process) info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = Board().mainWindow.load();
    info.lpVerb = L"open";
    info.lpFile = program.c_str();
    info.lpParameters = parameters;
    info.lpDirectory = folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) return false;
    if (process) *process = info.hProcess;
    return true;
}

LaunchError LaunchProgram(const std::wstring& programName, bool (*confirmOddFolder)(), UniqueHandle* started) {
    const bool isClient = AsciiEqualNoCase(programName, kClientExe);
    if (isClient) {
        SetEnvironmentVariableW(kStartMarkerName, kStartMarkerValue);
        FixOptionFile();
        UpdateGraphicsCompatFile();
    }
    const std::wstring folder = CurrentFolder();
    if (isClient) {
        if (!FolderFitsAnsiCodePage(folder) && !confirmOddFolder()) return LaunchError::Declined;
        if (!CopyDisplaySettings()) return LaunchError::NotConfigured;
    }

    // Built without a fixed limit, so a long program name is never cut.
    std::wstring commandLine = L"\"" + programName + L"\"";
    if (isClient) commandLine += std::wstring(L" ") + kLaunchToken;
    HANDLE process = nullptr;
    HANDLE* wanted = started ? &process : nullptr;
    DWORD error = Hooked(gHooks.startProcess, StartWithCreateProcess)(programName, commandLine, folder, wanted);
    if (error == kElevationRequired &&
        Hooked(gHooks.startWithShell, StartWithShell)(programName, isClient ? kLaunchToken : nullptr, folder, wanted))
        error = 0;
    if (started) started->reset(process);
    return error == 0 ? LaunchError::None : LaunchError::CannotStart;
}
