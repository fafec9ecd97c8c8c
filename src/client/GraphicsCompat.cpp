#include "client/GraphicsCompat.h"

#include <windows.h>

#include <cstdio>
#include <cwctype>

#include "base/Hooks.h"

std::vector<std::wstring> EnumerateAdapterDeviceIds() {
    std::vector<std::wstring> ids;
    DISPLAY_DEVICEW device = {};
    for (DWORD index = 0;; ++index) {
        device.cb = sizeof device;
        if (!EnumDisplayDevicesW(nullptr, index, &device, 0)) break;
        ids.emplace_back(device.DeviceID);
    }
    return ids;
}

namespace {

constexpr wchar_t kCompatLayerDll[] = L"ddraw.dll";
constexpr wchar_t kCompatSettingsFile[] = L"DDrawCompat-QirellQX.ini";

bool HasDedicatedVendor(const std::wstring& deviceId) {
    std::wstring upper = deviceId;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* marker : {L"VEN_10DE", L"VEN_1002", L"VEN_1022"})
        if (upper.find(marker) != std::wstring::npos) return true;
    return false;
}

constexpr char kSettings[] =
    "; written by QirellPatcher.exe: NVIDIA/AMD graphics found, DDrawCompat not needed\r\n"
    "EnableDDrawCompat = off\r\n";

}  // namespace

void UpdateGraphicsCompatFile() {
    if (GetFileAttributesW(kCompatLayerDll) == INVALID_FILE_ATTRIBUTES) return;
    bool found = false;
    for (const std::wstring& id : Hooked(gHooks.adapterIds, EnumerateAdapterDeviceIds)())
        if (HasDedicatedVendor(id)) found = true;
    if (!found) {
        DeleteFileW(kCompatSettingsFile);
        return;
    }
    FILE* f = _wfopen(kCompatSettingsFile, L"wb");
    if (!f) return;
    fwrite(kSettings, 1, sizeof kSettings - 1, f);
    fclose(f);
}
