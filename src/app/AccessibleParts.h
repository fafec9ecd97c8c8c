#pragma once
// What the window tells a screen reader: its parts, their names, roles, states and values, and the
// events a change of the board raises. Plain functions over a copy of what the window shows.
#include <windows.h>

#include <string>
#include <vector>

#include "base/StatusBoard.h"

// The children of the window's client object, by MSAA child id (0 is the client object itself).
constexpr long kAccSelf = 0;
constexpr long kAccHeadline = 1;
constexpr long kAccDetail = 2;
constexpr long kAccProgress = 3;
constexpr long kAccSetupButton = 4;
constexpr long kAccMainButton = 5;
constexpr long kAccChildCount = 5;

struct AccessibleButton {
    std::wstring text;
    bool enabled = false;
    bool focused = false;
    bool isDefault = false;
    RECT screen = {};
};

// One look at the window, taken when a client asks.
struct AccessibleView {
    std::wstring title;
    std::wstring headline;
    std::wstring detail;
    int progress = 0;  // the board's 0..1000
    bool windowFocused = false;
    RECT client = {};  // screen coordinates, as are the rectangles below
    RECT headlineRect = {}, detailRect = {}, trackRect = {};
    AccessibleButton setup, main;
};

struct AccessiblePart {
    bool exists = false;
    std::wstring name;
    long role = 0;
    long state = 0;
    std::wstring value;
    std::wstring defaultAction;  // empty: none
    RECT screen = {};
};

AccessiblePart DescribeChild(const AccessibleView& view, long child);
// The progress as a screen reader reads it: the painted percentage.
std::wstring ProgressValue(int progress);
// The child under a screen point; kAccSelf inside the client area but on no part, -1 outside.
long ChildAt(const AccessibleView& view, POINT screen);
// accNavigate: first/last child of the client object, next/previous among the children; 0 for none.
long NavigateChild(long from, long direction);

// The texts a status change alters, as WinEvents on the client object.
struct AccessibleEvent {
    DWORD event;
    long child;
};
std::vector<AccessibleEvent> StatusEvents(const StatusSnapshot& before, const StatusSnapshot& after);
