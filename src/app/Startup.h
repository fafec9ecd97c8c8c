#pragma once
#include <windows.h>

#include <string>

struct PreloadControl;

// Everything from process start to the end of the message loop; returns the exit code.
int RunApplication(HINSTANCE instance, int showCommand);
// Starts a patch run on a fresh worker thread unless one is busy.
void StartPatchRun();
// Whether the latest run's thread is still at work: busy, or pre-loading after its end.
bool RunThreadGoingOn();
// The pre-load after a ready run, steered from the window's thread; never destroyed, like the board.
PreloadControl& AppPreload();
// The program's own full path, however long.
std::wstring OwnModulePath();
// Client size for a screen DPI: 500 x 265 at 96.
SIZE ClientSizeForDpi(int dpi);
