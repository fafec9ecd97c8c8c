#include "TestWindow.h"

#include "app/MainWindow.h"

namespace qt {

HWND CreateTestWindow(bool visible) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QirellTestWindow";
    RegisterClassExW(&wc);
    RECT outer = {0, 0, 500, 265};
    AdjustWindowRect(&outer, WS_CAPTION | WS_SYSMENU, FALSE);
    HWND w = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"Qirell QX \u2014 Auto-Patcher", WS_CAPTION | WS_SYSMENU,
                             40, 40, outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr, wc.hInstance,
                             nullptr);
    if (w && visible) {
        ShowWindow(w, SW_SHOW);
        UpdateWindow(w);
    }
    return w;
}

void DestroyTestWindow(HWND window) {
    DestroyWindow(window);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    MSG msg;
    while (!done()) {
        if (GetTickCount64() >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    return true;
}

}  // namespace qt
