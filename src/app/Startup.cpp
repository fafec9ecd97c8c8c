#include "app/Startup.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <vector>

#include "base/Handle.h"
#include "app/MainWindow.h"
#include "app/Options.h"
#include "app/OwnStamp.h"
#include "app/RunReporter.h"
#include "app/Settings.h"
#include "app/SupportLog.h"
#include "base/StatusBoard.h"
#include "client/ClientFacts.h"
#include "patch/PreloadControl.h"
#include "patch/RunPatch.h"
#include "patch/Words.h"
#include "state/StateFile.h"
#include "text/Utf8.h"
#include "version.h"

namespace {

constexpr wchar_t kMutexName[] = L"Local\\QirellQX_Patcher_Mutex";
constexpr wchar_t kWindowTitle[] = L"Qirell QX \u2014 Auto-Patcher";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kTakeOverWaitMs = 15000;

UniqueHandle gRunThread;  // the latest run's, which may still be pre-loading after its end

void BindToOwnFolder() {
    const std::wstring path = OwnModulePath();
    const size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return;
    Settings().exeName = path.substr(cut + 1);
    SetCurrentDirectoryW(path.substr(0, cut).c_str());
}

void ReadOptions() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return;
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    LocalFree(argv);
    const CommandLineOptions options = ParseOptions(args);
    if (options.hasUrl) {
        Settings().manifestUrl = options.url;
        Settings().fallbackUrls.clear();
    }
    if (options.autoClose) Board().autoClose = true;
    if (options.allowNoArchive) Settings().allowNoArchive = true;
    if (options.fullCheck) Settings().fullCheck = true;
    Settings().stateFolder = DefaultStateFolder();
}

HWND CreateMainWindow(HINSTANCE instance, int showCommand) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(101));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);

    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    const SIZE client = ClientSizeForDpi(dpi);
    RECT outer = {0, 0, client.cx, client.cy};
    AdjustWindowRect(&outer, kWindowStyle, FALSE);
    const int ow = outer.right - outer.left, oh = outer.bottom - outer.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - ow) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - oh) / 2;
    HWND hwnd = CreateWindowExW(0, kWindowClass, kWindowTitle, kWindowStyle, x, y, ow, oh, nullptr, nullptr,
                                instance, nullptr);
    if (!hwnd) return nullptr;
    Board().mainWindow = hwnd;
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);
    return hwnd;
}

// The window of a first instance that went on pre-loading, hidden, when the game started.
HWND HiddenFirstInstance() {
    for (HWND w = FindWindowExW(nullptr, nullptr, kWindowClass, nullptr); w;
         w = FindWindowExW(nullptr, w, kWindowClass, nullptr))
        if (!IsWindowVisible(w)) return w;
    return nullptr;
}

// A new start while a hidden instance pre-loads: it is told to stop (it closes as when the player
// closes it) and this start waits, bounded, for its end. True when the instance is gone.
bool TakeOverFromHidden(HWND hidden, HANDLE mutex) {
    AppendLog("start: an earlier start is pre-loading in the background; asking it to stop");
    PostMessageW(hidden, WM_CLOSE, 0, 0);
    const DWORD waited = WaitForSingleObject(mutex, kTakeOverWaitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return true;
    AppendLog("start refused: the earlier start did not end within " + std::to_string(kTakeOverWaitMs / 1000) +
              " s");
    FlushLog();
    return false;
}

// A run's thread; it owns the configuration it is handed.
DWORD WINAPI RunThread(LPVOID parameter) {
    const std::unique_ptr<RunConfig> config(static_cast<RunConfig*>(parameter));
    return RunPatch(*config, WindowReporter());
}

}  // namespace

PreloadControl& AppPreload() {
    static PreloadControl* control = new PreloadControl;
    return *control;
}

std::wstring OwnModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        // A full buffer may hold a cut path: ask again with more room.
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.assign(path.size() * 2, L'\0');
    }
}

SIZE ClientSizeForDpi(int dpi) { return {MulDiv(500, dpi, 96), MulDiv(265, dpi, 96)}; }

void StartPatchRun() {
    if (Board().busy) return;
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    AppendLog("start: QirellPatcher " QIRELL_VERSION_TEXT ", folder " + WideToUtf8(folder) + ", address " +
              WideToUtf8(Settings().manifestUrl) + ", command line " + WideToUtf8(GetCommandLineW()));
    HWND button = MainButton();
    EnableWindow(button, FALSE);
    SetWindowTextW(button, L"กำลังอัปเดต...");
    auto config = std::make_unique<RunConfig>(
        RunConfig{Settings().manifestUrl, Settings().publicKeys, Settings().exeName, Board().autoClose,
                  Settings().fallbackUrls, Settings().stateFolder,
                  Settings().fullCheck, &AppPreload()});
    UniqueHandle thread(CreateThread(nullptr, 0, RunThread, config.get(), 0, nullptr));
    if (!thread) return;
    config.release();
    gRunThread = std::move(thread);
}

bool RunThreadGoingOn() { return gRunThread && WaitForSingleObject(gRunThread.get(), 0) == WAIT_TIMEOUT; }

int RunApplication(HINSTANCE instance, int showCommand) {
    BindToOwnFolder();
    OpenLog(DefaultStateFolder());
    DeleteFileW((Settings().exeName + L".old").c_str());
    // A block that cannot be read may have held keys: running without them would check no signatures.
    if (!ApplyOwnStamp()) {
        AppendLog("start refused: the patcher's stamp block is damaged");
        FlushLog();
        MessageBoxW(nullptr, kDamagedStampText, kMessageCaption, MB_OK | MB_ICONWARNING);
        return 1;
    }
    ReadOptions();

    UniqueHandle mutex(CreateMutexW(nullptr, TRUE, kMutexName));
    const bool second = mutex && GetLastError() == ERROR_ALREADY_EXISTS;
    if (HWND hidden = second ? HiddenFirstInstance() : nullptr) {
        if (!TakeOverFromHidden(hidden, mutex.get())) return 1;
    } else if (second && !Board().autoClose) {
        if (HWND first = FindWindowW(kWindowClass, nullptr)) {
            ShowWindow(first, SW_RESTORE);
            SetForegroundWindow(first);
        }
        return 0;
    }

    if (!Settings().allowNoArchive && GetFileAttributesW(kDataArchive) == INVALID_FILE_ATTRIBUTES) {
        AppendLog("start refused: no data.qpa in the folder");
        FlushLog();
        MessageBoxW(nullptr, kNoArchiveText, kMessageCaption, MB_OK | MB_ICONWARNING);
        return 1;
    }

    const Words starting = WordsFor(RunStep::Starting);
    UpdateStatus(starting.headline, starting.detail, 0);
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    HWND hwnd = CreateMainWindow(instance, showCommand);
    // No window means no way to show or end a run: end honestly instead of looping on nothing.
    if (!hwnd) return 1;
    StartPatchRun();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    FlushLog();
    // A start waiting to take over goes on at once (an owned mutex only closed is freed at thread end).
    ReleaseMutex(mutex.get());
    mutex.reset();
    return Board().exitCode;
}
