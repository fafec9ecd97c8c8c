#pragma once
#include <windows.h>

#include <string>

// Everything from process start to the end of the message loop; returns the exit code.
int RunApplication(HINSTANCE instance, int showCommand);
// Starts a patch run on a fresh worker thread unless one is busy.
void StartPatchRun();
// The program's own full path, however long.
std::wstring OwnModulePath();
// Client size for a screen DPI: 500 x 265 at 96.
SIZE ClientSizeForDpi(int dpi);
