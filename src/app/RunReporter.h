#pragma once
// The window's side of a run: statuses and run ends go to the status board, questions to the window.
#include <windows.h>

#include "patch/Reporter.h"

// Sent by a run's thread; the window shows the Retry/Cancel box lParam (const wchar_t*) on its own
// thread and returns the button.
constexpr UINT WM_ASK_RETRY = WM_APP + 3;

const Reporter& WindowReporter();
