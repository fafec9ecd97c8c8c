#include "app/MainWindow.h"

#include "base/Handle.h"
#include "app/RunReporter.h"
#include "app/Startup.h"
#include "base/StatusBoard.h"
#include "client/ClientFacts.h"
#include "client/Launch.h"
#include "patch/Words.h"
#include "text/Text.h"

namespace {

WindowFonts gFonts;
HWND gSetupButton = nullptr;
HWND gMainButton = nullptr;

HFONT MakeFont(const wchar_t* face, int points, int weight, int dpiY) {
    return CreateFontW(-MulDiv(points, dpiY, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, face);
}

void Fill(HDC dc, const RECT& r, COLORREF colour) {
    UniqueGdi brush(CreateSolidBrush(colour));
    FillRect(dc, &r, static_cast<HBRUSH>(brush.get()));
}

void Text(HDC dc, const std::wstring& text, RECT r, HFONT font, COLORREF colour, UINT format) {
    if (font) SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, format);
}

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
                             Board().busy.load()};
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

LRESULT OnCommand(WPARAM wParam) {
    switch (LOWORD(wParam)) {
    case ID_SETUP_BUTTON: StartProgram(kSetupExe); break;
    case ID_MAIN_BUTTON:
        if (Board().ready) StartProgram(kClientExe);
        else StartPatchRun();
        break;
    }
    return 0;
}

LRESULT OnStatusChanged(HWND hwnd) {
    Board().repaintPending = false;  // cleared before the paint reads the board, so no update is missed
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
    if (Board().autoClose) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return 0;
}

LRESULT OnDestroy() {
    DeleteWindowFonts(gFonts);
    PostQuitMessage(Board().exitCode);
    return 0;
}

}  // namespace

HWND MainButton() { return gMainButton; }

void StartProgram(const std::wstring& programName) {
    HWND owner = Board().mainWindow.load();
    switch (LaunchProgram(programName, ConfirmOddFolder)) {
    case LaunchError::None:
        if (AsciiEqualNoCase(programName, kClientExe)) PostMessageW(owner, WM_CLOSE, 0, 0);
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

WindowFonts CreateWindowFonts(int dpiY) {
    WindowFonts f;
    f.title = MakeFont(L"Segoe UI", 18, FW_BOLD, dpiY);
    f.subtitle = MakeFont(L"Tahoma", 9, FW_NORMAL, dpiY);
    f.headline = MakeFont(L"Tahoma", 11, FW_BOLD, dpiY);
    f.detail = MakeFont(L"Tahoma", 9, FW_NORMAL, dpiY);
    f.button = MakeFont(L"Tahoma", 10, FW_BOLD, dpiY);
    return f;
}

void DeleteWindowFonts(WindowFonts& fonts) {
    for (HFONT* f : {&fonts.title, &fonts.subtitle, &fonts.headline, &fonts.detail, &fonts.button}) {
        if (*f) DeleteObject(*f);
        *f = nullptr;
    }
}

COLORREF HeadlineColour(bool ready, bool busy, int progress) {
    if (ready) return RGB(110, 235, 155);
    if (busy || progress > 0) return RGB(240, 244, 255);
    return RGB(255, 110, 110);
}

void PaintClientArea(HDC dc, int w, int h, const PaintState& state, const WindowFonts& fonts) {
    const int m = w * 24 / 500;
    const int hb = h * 78 / 270;
    Fill(dc, {0, 0, w, h}, RGB(20, 24, 36));
    Fill(dc, {0, 0, w, hb}, RGB(28, 34, 53));
    // The rule's brush also paints the progress fill, so it lives until the fill is drawn.
    UniqueGdi ruleBrush(CreateSolidBrush(RGB(212, 175, 55)));
    RECT rule = {0, hb - 2, w, hb};
    FillRect(dc, &rule, static_cast<HBRUSH>(ruleBrush.get()));

    HGDIOBJ oldFont = GetCurrentObject(dc, OBJ_FONT);
    SetBkMode(dc, TRANSPARENT);
    const UINT line = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
    Text(dc, L"QIRELL QX", {m, hb * 14 / 78, w - m, hb * 48 / 78}, fonts.title, RGB(238, 203, 98), line);
    Text(dc, L"Classic 5.0 Pre-Vossine \u00B7 Auto-Patcher & QirellShield", {m, hb * 46 / 78, w - m, hb - 6},
         fonts.subtitle, RGB(170, 180, 205), line);
    Text(dc, state.headline, {m, hb + h * 22 / 270, w - m, hb + h * 50 / 270}, fonts.headline,
         HeadlineColour(state.ready, state.busy, state.progress), line | DT_END_ELLIPSIS);
    Text(dc, state.detail, {m, hb + h * 52 / 270, w - m, hb + h * 76 / 270}, fonts.detail, RGB(165, 175, 200),
         line | DT_PATH_ELLIPSIS);

    const int t = hb + h * 84 / 270;
    RECT track = {m, t, w - m, t + h * 22 / 270};
    Fill(dc, track, RGB(14, 17, 26));
    {
        UniqueGdi frame(CreateSolidBrush(RGB(46, 56, 82)));
        FrameRect(dc, &track, static_cast<HBRUSH>(frame.get()));
    }
    const int f = (track.right - track.left - 2) * state.progress / 1000;
    if (f > 0) {
        RECT fill = {track.left + 1, track.top + 1, track.left + 1 + f, track.bottom - 1};
        if (state.ready) Fill(dc, fill, RGB(56, 182, 108));
        else FillRect(dc, &fill, static_cast<HBRUSH>(ruleBrush.get()));
    }
    ruleBrush.reset();

    const std::wstring percent = std::to_wstring(state.progress / 10) + L"%";
    Text(dc, percent, track, nullptr, RGB(255, 255, 255), line | DT_CENTER);
    SelectObject(dc, oldFont);
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CREATE: return OnCreate(hwnd);
    case WM_PAINT: return OnPaint(hwnd);
    case WM_ERASEBKGND: return 1;
    case WM_COMMAND: return OnCommand(wParam);
    case WM_STATUS_CHANGED: return OnStatusChanged(hwnd);
    case WM_RUN_FINISHED: return OnRunFinished(hwnd);
    case WM_ASK_RETRY:
        return MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(lParam), kMessageCaption,
                           MB_RETRYCANCEL | MB_ICONWARNING);
    case WM_DESTROY: return OnDestroy();
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}
