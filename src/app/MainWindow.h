#pragma once
#include <windows.h>

#include <string>

constexpr int ID_MAIN_BUTTON = 201;
constexpr int ID_SETUP_BUTTON = 202;
constexpr wchar_t kWindowClass[] = L"QirellPatcherWnd";

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// What one paint draws: a copy of the board.
struct PaintState {
    std::wstring headline;
    std::wstring detail;
    int progress = 0;
    bool ready = false;
    bool busy = false;
};

struct WindowFonts {
    HFONT title = nullptr;
    HFONT subtitle = nullptr;
    HFONT headline = nullptr;
    HFONT detail = nullptr;
    HFONT button = nullptr;
};

WindowFonts CreateWindowFonts(int dpiY);
void DeleteWindowFonts(WindowFonts& fonts);
// Composes the whole client area of size w x h into dc.
void PaintClientArea(HDC dc, int w, int h, const PaintState& state, const WindowFonts& fonts);
COLORREF HeadlineColour(bool ready, bool busy, int progress);

// The main button, for StartPatchRun.
HWND MainButton();
// Starts a program of the game folder as the buttons do, with the boxes that tell what went wrong.
void StartProgram(const std::wstring& programName);
