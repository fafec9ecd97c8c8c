#pragma once
#include <windows.h>

#include <string>

#include "app/Paint.h"

constexpr int ID_MAIN_BUTTON = 201;
constexpr int ID_SETUP_BUTTON = 202;
constexpr wchar_t kWindowClass[] = L"QirellPatcherWnd";

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The main button, for StartPatchRun.
HWND MainButton();
// WM_UPDATEUISTATE as the window passes it on: keyboard users see the focus rectangle from the start.
WPARAM FocusCuesKeptShown(WPARAM wParam);
// Presses an enabled button as a click does, by a posted message; false when it is disabled.
bool PressButton(HWND button);
// Starts a program of the game folder as the buttons do, with the boxes that tell what went wrong.
void StartProgram(const std::wstring& programName);
