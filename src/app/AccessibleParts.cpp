#include "app/AccessibleParts.h"

#include <oleacc.h>

namespace {

constexpr wchar_t kProgressName[] = L"ความคืบหน้าการอัปเดต";
constexpr wchar_t kPressAction[] = L"กด";

AccessiblePart Static(const std::wstring& text, const RECT& r) {
    return {true, text, ROLE_SYSTEM_STATICTEXT, STATE_SYSTEM_READONLY, {}, {}, r};
}

AccessiblePart Button(const AccessibleButton& b) {
    long state = STATE_SYSTEM_FOCUSABLE;
    if (b.focused) state |= STATE_SYSTEM_FOCUSED;
    if (!b.enabled) state |= STATE_SYSTEM_UNAVAILABLE;
    if (b.isDefault) state |= STATE_SYSTEM_DEFAULT;
    return {true, b.text, ROLE_SYSTEM_PUSHBUTTON, state, {}, kPressAction, b.screen};
}

bool Inside(const RECT& r, POINT p) { return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom; }

}  // namespace

std::wstring ProgressValue(int progress) { return std::to_wstring(progress / 10) + L"%"; }

AccessiblePart DescribeChild(const AccessibleView& view, long child) {
    switch (child) {
    case kAccSelf:
        return {true, view.title, ROLE_SYSTEM_CLIENT, view.windowFocused ? STATE_SYSTEM_FOCUSED : 0, {}, {},
                view.client};
    case kAccHeadline: return Static(view.headline, view.headlineRect);
    case kAccDetail: return Static(view.detail, view.detailRect);
    case kAccProgress:
        return {true, kProgressName, ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY, ProgressValue(view.progress), {},
                view.trackRect};
    case kAccSetupButton: return Button(view.setup);
    case kAccMainButton: return Button(view.main);
    default: return {};
    }
}

long ChildAt(const AccessibleView& view, POINT screen) {
    if (!Inside(view.client, screen)) return -1;
    for (long child = 1; child <= kAccChildCount; ++child)
        if (Inside(DescribeChild(view, child).screen, screen)) return child;
    return kAccSelf;
}

long NavigateChild(long from, long direction) {
    switch (direction) {
    case NAVDIR_FIRSTCHILD: return from == kAccSelf ? 1 : 0;
    case NAVDIR_LASTCHILD: return from == kAccSelf ? kAccChildCount : 0;
    case NAVDIR_NEXT: return from >= 1 && from < kAccChildCount ? from + 1 : 0;
    case NAVDIR_PREVIOUS: return from > 1 && from <= kAccChildCount ? from - 1 : 0;
    default: return 0;
    }
}

std::vector<AccessibleEvent> StatusEvents(const StatusSnapshot& before, const StatusSnapshot& after) {
    std::vector<AccessibleEvent> events;
    if (before.headline != after.headline) events.push_back({EVENT_OBJECT_NAMECHANGE, kAccHeadline});
    if (before.detail != after.detail) events.push_back({EVENT_OBJECT_NAMECHANGE, kAccDetail});
    if (ProgressValue(before.progress) != ProgressValue(after.progress))
        events.push_back({EVENT_OBJECT_VALUECHANGE, kAccProgress});
    return events;
}
