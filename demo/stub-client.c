/* Stand-in game client for the demo: shows what it was started with and ends. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)show;
    wchar_t marker[8] = L"";
    GetEnvironmentVariableW(L"QIRELL_PATCHER_OK", marker, 8);
    wchar_t text[1024] = L"Demo game client started.\nArguments: ";
    lstrcatW(text, commandLine[0] ? commandLine : L"(none)");
    lstrcatW(text, L"\nQIRELL_PATCHER_OK=");
    lstrcatW(text, marker[0] ? marker : L"(unset)");
    MessageBoxW(NULL, text, L"Qirell QX (demo client)", MB_OK | MB_ICONINFORMATION);
    return 0;
}
