#pragma once
// The real window procedure on a window of the test's own thread, and a bounded message pump.
#include <windows.h>

#include <functional>

namespace qt {

// A window of the program's class procedure (under a test class name), shown on top when visible.
HWND CreateTestWindow(bool visible);
// Destroys it and swallows the quit message its WM_DESTROY posts.
void DestroyTestWindow(HWND window);
// Dispatches this thread's messages until done() holds or timeoutMs pass; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

}  // namespace qt
