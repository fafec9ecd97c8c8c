#include "UiDriver.h"

namespace qt {

namespace {

struct Search {
    DWORD pid;
    const wchar_t* cls;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK Match(HWND hwnd, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (s->pid && pid != s->pid) return TRUE;
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (std::wstring(cls) != s->cls || !IsWindowVisible(hwnd)) return TRUE;
    if (s->caption) {
        wchar_t title[256] = {};
        GetWindowTextW(hwnd, title, 256);
        if (std::wstring(title) != s->caption) return TRUE;
    }
    s->found = hwnd;
    return FALSE;
}

HWND FindTop(const wchar_t* cls, const wchar_t* caption, DWORD pid) {
    Search s = {pid, cls, caption, nullptr};
    EnumWindows(Match, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

template <typename F>
HWND WaitFor(F find, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND h = find()) return h;
        if (GetTickCount64() >= end) return nullptr;
        Sleep(20);
    }
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

}  // namespace

HWND FindMainWindow(DWORD pid) { return FindTop(kMainWindowClass, nullptr, pid); }

HWND WaitForMainWindow(DWORD pid, DWORD timeoutMs) {
    return WaitFor([&] { return FindMainWindow(pid); }, timeoutMs);
}

std::vector<Button> Buttons(HWND window) {
    std::vector<Button> out;
    HWND focus = FocusOf(window);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        GetClassNameW(child, cls, 32);
        if (lstrcmpiW(cls, L"Button") != 0) continue;
        Button b;
        b.exists = true;
        b.id = GetDlgCtrlID(child);
        wchar_t text[256] = {};
        GetWindowTextW(child, text, 256);
        b.text = text;
        b.enabled = IsWindowEnabled(child) != FALSE;
        b.focused = focus == child;
        out.push_back(b);
    }
    return out;
}

Button GetButton(HWND window, int id) {
    for (const Button& b : Buttons(window))
        if (b.id == id) return b;
    return {};
}

void ClickButton(HWND window, int id) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

Button WaitForButton(HWND window, int id, bool (*pred)(const Button&), DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    Button b;
    for (;;) {
        b = GetButton(window, id);
        if (pred(b) || GetTickCount64() >= end) return b;
        Sleep(20);
    }
}

SIZE ClientSize(HWND window) {
    RECT r = {};
    GetClientRect(window, &r);
    return {r.right, r.bottom};
}

std::vector<COLORREF> ClientPixels(HWND window, int& w, int& h) {
    SIZE s = ClientSize(window);
    w = s.cx;
    h = s.cy;
    std::vector<COLORREF> out;
    HDC dc = GetDC(window);
    if (!dc || w <= 0 || h <= 0) {
        if (dc) ReleaseDC(window, dc);
        return out;
    }
    HDC mem = CreateCompatibleDC(dc);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, dc, 0, 0, SRCCOPY);
    GdiFlush();
    const auto* p = static_cast<const unsigned char*>(bits);
    out.resize(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < out.size(); ++i) out[i] = RGB(p[4 * i + 2], p[4 * i + 1], p[4 * i]);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(window, dc);
    return out;
}

COLORREF ClientPixel(HWND window, int x, int y) {
    int w = 0, h = 0;
    std::vector<COLORREF> px = ClientPixels(window, w, h);
    if (x < 0 || y < 0 || x >= w || y >= h) return CLR_INVALID;
    return px[static_cast<size_t>(y) * w + x];
}

HWND FindMessageBox(const std::wstring& caption, DWORD pid) { return FindTop(L"#32770", caption.c_str(), pid); }

HWND WaitForMessageBox(const std::wstring& caption, DWORD pid, DWORD timeoutMs) {
    return WaitFor([&] { return FindMessageBox(caption, pid); }, timeoutMs);
}

std::wstring MessageBoxText(HWND box) {
    HWND text = GetDlgItem(box, 0xFFFF);
    if (!text) return {};
    const int n = GetWindowTextLengthW(text);
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    GetWindowTextW(text, s.data(), n + 1);
    s.resize(n);
    return s;
}

std::vector<int> MessageBoxButtons(HWND box) {
    std::vector<int> ids;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        GetClassNameW(child, cls, 32);
        if (lstrcmpiW(cls, L"Button") == 0 && IsWindowVisible(child)) ids.push_back(GetDlgCtrlID(child));
    }
    return ids;
}

bool AnswerMessageBox(HWND box, int id, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    // A click that arrives before the box runs its own loop is lost: wait until its button is up.
    HWND button = nullptr;
    while (!(button = GetDlgItem(box, id)) || !IsWindowVisible(button)) {
        if (!IsWindow(box) || GetTickCount64() >= end) return false;
        Sleep(20);
    }
    Sleep(150);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    while (IsWindow(box) && GetDlgItem(box, id) == button) {
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
    return true;
}

}  // namespace qt
