#pragma once
// The window's accessible object (MSAA) and the WinEvents that tell screen readers what changed.
#include <windows.h>

#include "base/StatusBoard.h"

// WM_GETOBJECT: the client area's object for OBJID_CLIENT; any other id is left to the system.
LRESULT AnswerGetObject(HWND hwnd, WPARAM wParam, LPARAM lParam);
// At WM_DESTROY: clients still holding the object get RPC_E_DISCONNECTED from then on.
void DisconnectAccessible(HWND hwnd);
// The headline, detail and progress events for what differs between two looks at the board.
void AnnounceStatus(HWND hwnd, const StatusSnapshot& before, const StatusSnapshot& after);
// A button's caption and state changed (child id from AccessibleParts.h).
void AnnounceButton(HWND hwnd, long child);
