#pragma once
// Drives the program's real window from a test: find it, read and click its buttons, read pixels of
// its client area, and find, read and answer message boxes. Every wait is bounded.
//
//   HWND w = qt::WaitForMainWindow(pid, 20000);
//   qt::Button b = qt::GetButton(w, 201);         // text, enabled, focused
//   qt::ClickButton(w, 202);
//   COLORREF c = qt::ClientPixel(w, 10, 10);
//   HWND box = qt::WaitForMessageBox(L"Qirell QX Auto-Patcher", pid, 10000);
//   std::wstring text = qt::MessageBoxText(box);
//   qt::AnswerMessageBox(box, IDOK);
#include <windows.h>

#include <string>
#include <vector>

namespace qt {

constexpr wchar_t kMainWindowClass[] = L"QirellPatcherWnd";

// The visible main window of process pid (any process when pid is 0), or null after timeoutMs.
HWND WaitForMainWindow(DWORD pid, DWORD timeoutMs);
HWND FindMainWindow(DWORD pid);

struct Button {
    bool exists = false;
    int id = 0;
    std::wstring text;
    bool enabled = false;
    bool focused = false;
};
std::vector<Button> Buttons(HWND window);
Button GetButton(HWND window, int id);
// Posts a click (as the button itself would report it) to the window.
void ClickButton(HWND window, int id);
// Waits until pred(GetButton(window, id)) holds or timeoutMs passes; returns the last state seen.
Button WaitForButton(HWND window, int id, bool (*pred)(const Button&), DWORD timeoutMs);

SIZE ClientSize(HWND window);
// Client-area pixels read from the screen (GetDC + BitBlt).
COLORREF ClientPixel(HWND window, int x, int y);
std::vector<COLORREF> ClientPixels(HWND window, int& w, int& h);

// A message box (dialog class #32770) with this caption, of process pid (0: any).
HWND FindMessageBox(const std::wstring& caption, DWORD pid);
HWND WaitForMessageBox(const std::wstring& caption, DWORD pid, DWORD timeoutMs);
std::wstring MessageBoxText(HWND box);
std::vector<int> MessageBoxButtons(HWND box);
// Presses the box's button with this id (IDOK, IDCANCEL, IDRETRY...) and waits for the box to go.
bool AnswerMessageBox(HWND box, int id, DWORD timeoutMs = 5000);

}  // namespace qt
