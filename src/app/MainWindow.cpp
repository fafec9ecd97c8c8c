#include "app/MainWindow.h"

#include "base/Handle.h"
#include "app/AccessibleParts.h"
#include "app/RunReporter.h"
#include "app/Startup.h"
#include "app/SupportLog.h"
#include "app/WindowAccessible.h"
#include "base/StatusBoard.h"
#include "client/ClientFacts.h"
#include "client/Launch.h"
#include "patch/PreloadControl.h"
#include "patch/Words.h"
#include "text/Text.h"

namespace {

WindowFonts gFonts;
HWND gSetupButton = nullptr;
HWND gMainButton = nullptr;
StatusSnapshot gAnnounced;  // what the last status events told screen readers

// A ready run's thread may go on pre-loading the next release. Closing the window then stops it and
// waits for its WM_RUN_IDLE (hidden, at most kIdleWaitMs) so that what it fetched is recorded.
constexpr UINT_PTR kIdleTimer = 1;
constexpr UINT kIdleWaitMs = 3000;
bool gRunIdle = false;  // WM_RUN_IDLE came for the current run
bool gClosing = false;  // closing, waiting for WM_RUN_IDLE
bool gPlaying = false;  // hidden, pre-loading while the game started then runs
UniqueHandle gClient;   // that game's process, watched until it ends
HANDLE gClientWait = nullptr;

HWND MakeButton(HWND parent, int id, const wchar_t* text, DWORD style, int x, int y, int w, int h) {
    HWND b = CreateWindowExW(0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, x, y, w, h, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    if (b && gFonts.button) SendMessageW(b, WM_SETFONT, reinterpret_cast<WPARAM>(gFonts.button), TRUE);
    return b;
}

LRESULT OnCreate(HWND hwnd) {
    HDC dc = GetDC(hwnd);
    const int dpiY = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(hwnd, dc);
    gFonts = CreateWindowFonts(dpiY);
    RECT rc;
    GetClientRect(hwnd, &rc);
    const int w = rc.right, h = rc.bottom;
    const int m = w * 24 / 500, bh = h * 40 / 270;
    gSetupButton = MakeButton(hwnd, ID_SETUP_BUTTON, L"ตั้งค่าจอ (Setup)", 0, m, h - bh - m, w * 140 / 500, bh);
    gMainButton = MakeButton(hwnd, ID_MAIN_BUTTON, L"กำลังอัปเดต...", BS_DEFPUSHBUTTON,
                             w - w * 200 / 500 - m, h - bh - m, w * 200 / 500, bh);
    EnableWindow(gMainButton, FALSE);
    SendMessageW(hwnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    gAnnounced = ReadStatus();
    return 0;
}

LRESULT OnPaint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    const int w = rc.right, h = rc.bottom;
    {
        UniqueMemoryDc memory(CreateCompatibleDC(dc));
        UniqueGdi bitmap(CreateCompatibleBitmap(dc, w, h));
        if (memory && bitmap) {
            SelectRestorer selected(memory.get(), bitmap.get());
            const StatusSnapshot status = ReadStatus();
            PaintState state{status.headline, status.detail, status.progress, Board().ready.load(),
                             Board().busy.load(), HighContrastOn()};
            PaintClientArea(memory.get(), w, h, state, gFonts);
            BitBlt(dc, 0, 0, w, h, memory.get(), 0, 0, SRCCOPY);
        }
        // The bitmap is put back out of the DC (selected's destructor) before either is deleted.
    }
    EndPaint(hwnd, &ps);
    return 0;
}

bool ConfirmOddFolder() {
    return MessageBoxW(Board().mainWindow.load(), kFolderWarning, kMessageCaption, MB_OKCANCEL | MB_ICONWARNING) ==
           IDOK;
}

LRESULT OnCommand(HWND hwnd, WPARAM wParam) {
    switch (LOWORD(wParam)) {
    case ID_SETUP_BUTTON: StartProgram(kSetupExe); break;
    case ID_MAIN_BUTTON:
        if (Board().ready) {
            StartProgram(kClientExe);
        } else {
            gRunIdle = false;
            StartPatchRun();
            AnnounceButton(hwnd, kAccMainButton);
        }
        break;
    // Enter, from the dialog keyboard handling: the focused button, else the main one.
    case IDOK:
        if (HWND focus = GetFocus(); focus == gSetupButton || focus == gMainButton) PressButton(focus);
        else PressButton(gMainButton);
        break;
    // Esc: as the close box.
    case IDCANCEL: PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0); break;
    }
    return 0;
}

// High contrast switched or system colours changed: the buttons follow, and so does the paint.
LRESULT OnColoursChanged(HWND hwnd) {
    for (HWND button : {gSetupButton, gMainButton})
        if (button) SendMessageW(button, WM_SYSCOLORCHANGE, 0, 0);
    InvalidateRect(hwnd, nullptr, FALSE);
    return 0;
}

LRESULT OnStatusChanged(HWND hwnd) {
    Board().repaintPending = false;  // cleared before the paint reads the board, so no update is missed
    const StatusSnapshot now = ReadStatus();
    AnnounceStatus(hwnd, gAnnounced, now);
    gAnnounced = now;
    InvalidateRect(hwnd, nullptr, FALSE);
    return 0;
}

LRESULT OnRunFinished(HWND hwnd) {
    InvalidateRect(hwnd, nullptr, FALSE);
    EnableWindow(gMainButton, TRUE);
    if (Board().ready) {
        SetWindowTextW(gMainButton, L"เริ่มเกม (Start Game)");
        SetFocus(gMainButton);
    } else {
        SetWindowTextW(gMainButton, L"ลองใหม่ (Retry)");
    }
    AnnounceButton(hwnd, kAccMainButton);
    return 0;
}

// With --auto-close, and while the game plays, the window waits for the pre-load: it closes once the
// run's thread is done.
LRESULT OnRunIdle(HWND hwnd) {
    gRunIdle = true;
    if (Board().autoClose || gClosing || gPlaying) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return 0;
}

LRESULT OnClose(HWND hwnd) {
    if (gRunIdle || !Board().ready) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (!gClosing) {
        gClosing = true;
        CancelDownload(AppPreload().stop);
        ShowWindow(hwnd, SW_HIDE);
        SetTimer(hwnd, kIdleTimer, kIdleWaitMs, nullptr);
    }
    return 0;
}

LRESULT OnTimer(HWND hwnd, WPARAM id) {
    if (id != kIdleTimer) return 0;
    AppendLog("close: the pre-load did not stop within " + std::to_string(kIdleWaitMs / 1000) + " s");
    DestroyWindow(hwnd);
    return 0;
}

void CALLBACK OnClientEnded(PVOID, BOOLEAN) {
    AppendLog("the game ended: the pre-load stops");
    CancelDownload(AppPreload().stop);
}

// The game started while the next release is pre-loading and its manifest asks to go on while playing:
// the window hides and the pre-load goes on, capped and in the background, until it ends, the game ends
// or the patcher is started again. False: not so, the window closes as always.
bool KeepPreloadingWhilePlaying(HWND hwnd, UniqueHandle client) {
    if (!client || gRunIdle || !Board().preloading || !Board().preloadWhilePlaying) return false;
    if (!RegisterWaitForSingleObject(&gClientWait, client.get(), OnClientEnded, nullptr, INFINITE,
                                     WT_EXECUTEONLYONCE))
        return false;
    gClient = std::move(client);
    Pace& pace = AppPreload().pace;
    pace.kibPerS = Board().preloadKibPerS.load();
    pace.background = true;
    gPlaying = true;
    ShowWindow(hwnd, SW_HIDE);
    AppendLog("start game: the pre-load goes on while playing, at most " + std::to_string(pace.kibPerS.load()) +
              " KiB/s, in the background");
    return true;
}

LRESULT OnDestroy(HWND hwnd) {
    if (gClientWait) UnregisterWait(gClientWait);
    gClientWait = nullptr;
    DisconnectAccessible(hwnd);
    DeleteWindowFonts(gFonts);
    PostQuitMessage(Board().exitCode);
    return 0;
}

}  // namespace

HWND MainButton() { return gMainButton; }

WPARAM FocusCuesKeptShown(WPARAM wParam) {
    const WORD action = LOWORD(wParam), flags = HIWORD(wParam);
    if (action == UIS_INITIALIZE) return MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS);
    if (action == UIS_SET) return MAKEWPARAM(UIS_SET, flags & ~UISF_HIDEFOCUS);
    return wParam;
}

bool PressButton(HWND button) {
    if (!button || !IsWindowEnabled(button)) return false;
    PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    return true;
}

void StartProgram(const std::wstring& programName) {
    HWND owner = Board().mainWindow.load();
    const bool client = AsciiEqualNoCase(programName, kClientExe);
    UniqueHandle started;
    switch (LaunchProgram(programName, ConfirmOddFolder, client ? &started : nullptr)) {
    case LaunchError::None:
        if (client && !KeepPreloadingWhilePlaying(owner, std::move(started))) PostMessageW(owner, WM_CLOSE, 0, 0);
        break;
    case LaunchError::Declined: break;
    case LaunchError::NotConfigured:
        MessageBoxW(owner, kNotConfigured, kMessageCaption, MB_ICONINFORMATION);
        StartProgram(kSetupExe);
        break;
    case LaunchError::CannotStart:
        MessageBoxW(owner, CannotStartText(programName).c_str(), kMessageCaption, MB_ICONERROR);
        break;
    }
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CREATE: return OnCreate(hwnd);
    case WM_PAINT: return OnPaint(hwnd);
    case WM_ERASEBKGND: return 1;
    case WM_COMMAND: return OnCommand(hwnd, wParam);
    case WM_STATUS_CHANGED: return OnStatusChanged(hwnd);
    case WM_RUN_FINISHED: return OnRunFinished(hwnd);
    case WM_RUN_IDLE: return OnRunIdle(hwnd);
    case WM_CLOSE: return OnClose(hwnd);
    case WM_TIMER: return OnTimer(hwnd, wParam);
    case WM_ASK_RETRY:
        return MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(lParam), kMessageCaption,
                           MB_RETRYCANCEL | MB_ICONWARNING);
    case WM_GETOBJECT: return AnswerGetObject(hwnd, wParam, lParam);
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE: return OnColoursChanged(hwnd);
    case WM_UPDATEUISTATE: return DefWindowProcW(hwnd, msg, FocusCuesKeptShown(wParam), lParam);
    case WM_DESTROY: return OnDestroy(hwnd);
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}
