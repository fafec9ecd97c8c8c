// Writes "<own file name>.record.txt" beside itself: the command line, the working directory and the
// start marker variable, one per line, UTF-8. With QIRELL_STUB_SECONDS set it then stays alive that long;
// with QIRELL_STUB_UNTIL (a file's path) until that file exists, 120 s at most.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::wstring Variable(const wchar_t* name, bool& present) {
    wchar_t buf[512] = {};
    DWORD n = GetEnvironmentVariableW(name, buf, 512);
    present = n > 0 && n < 512;
    return present ? std::wstring(buf, n) : std::wstring();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[4096] = {};
    GetModuleFileNameW(nullptr, self, 4096);
    wchar_t cwd[4096] = {};
    GetCurrentDirectoryW(4096, cwd);
    bool hasMarker = false;
    const std::wstring marker = Variable(L"QIRELL_PATCHER_OK", hasMarker);
    const std::string record = "cmdline=" + Utf8(GetCommandLineW()) + "\n" + "cwd=" + Utf8(cwd) + "\n" +
                               "QIRELL_PATCHER_OK=" + (hasMarker ? Utf8(marker) : std::string("<unset>")) + "\n";
    const std::wstring out = std::wstring(self) + L".record.txt";
    HANDLE f = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(f, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
        CloseHandle(f);
    }
    bool hasSeconds = false;
    const std::wstring seconds = Variable(L"QIRELL_STUB_SECONDS", hasSeconds);
    if (hasSeconds) Sleep(static_cast<DWORD>(_wtoi(seconds.c_str())) * 1000);
    bool hasUntil = false;
    const std::wstring until = Variable(L"QIRELL_STUB_UNTIL", hasUntil);
    for (int i = 0; hasUntil && i < 2400 && GetFileAttributesW(until.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    return 0;
}
