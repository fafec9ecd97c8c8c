// What the window tells a screen reader, on its own: the parts and the events a status change raises.
#include <gtest/gtest.h>
#include <oleacc.h>

#include "app/AccessibleParts.h"

namespace {

AccessibleView SampleView() {
    AccessibleView v;
    v.title = L"Qirell QX \u2014 Auto-Patcher";
    v.headline = L"กำลังดาวน์โหลดอัปเดต...";
    v.detail = L"กำลังดาวน์โหลด a.bin";
    v.progress = 459;
    v.client = {100, 100, 600, 365};
    v.headlineRect = {124, 197, 576, 225};
    v.detailRect = {124, 227, 576, 250};
    v.trackRect = {124, 258, 576, 279};
    v.setup = {L"ตั้งค่าจอ (Setup)", true, true, false, {124, 302, 264, 341}};
    v.main = {L"กำลังอัปเดต...", false, false, true, {376, 302, 576, 341}};
    return v;
}

}  // namespace

TEST(AccessibleParts, EachChildHasItsRoleNameStateAndValue) {
    const AccessibleView v = SampleView();
    const struct {
        long child;
        long role;
        std::wstring name;
        long state;
        std::wstring value;
        std::wstring action;
    } cases[] = {
        {kAccSelf, ROLE_SYSTEM_CLIENT, v.title, 0, L"", L""},
        {kAccHeadline, ROLE_SYSTEM_STATICTEXT, v.headline, STATE_SYSTEM_READONLY, L"", L""},
        {kAccDetail, ROLE_SYSTEM_STATICTEXT, v.detail, STATE_SYSTEM_READONLY, L"", L""},
        {kAccProgress, ROLE_SYSTEM_PROGRESSBAR, L"ความคืบหน้าการอัปเดต", STATE_SYSTEM_READONLY, L"45%", L""},
        {kAccSetupButton, ROLE_SYSTEM_PUSHBUTTON, v.setup.text, STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_FOCUSED, L"",
         L"กด"},
        {kAccMainButton, ROLE_SYSTEM_PUSHBUTTON, v.main.text,
         STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_UNAVAILABLE | STATE_SYSTEM_DEFAULT, L"", L"กด"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.child);
        const AccessiblePart p = DescribeChild(v, c.child);
        EXPECT_TRUE(p.exists);
        EXPECT_EQ(p.role, c.role);
        EXPECT_EQ(p.name, c.name);
        EXPECT_EQ(p.state, c.state);
        EXPECT_EQ(p.value, c.value);
        EXPECT_EQ(p.defaultAction, c.action);
    }
    EXPECT_EQ(DescribeChild(v, kAccProgress).screen.left, 124);
    EXPECT_FALSE(DescribeChild(v, 6).exists);
    EXPECT_FALSE(DescribeChild(v, -1).exists);
}

TEST(AccessibleParts, ProgressReadsAsThePaintedPercentage) {
    const std::pair<int, std::wstring> cases[] = {{0, L"0%"}, {9, L"0%"}, {10, L"1%"}, {999, L"99%"}, {1000, L"100%"}};
    for (const auto& [progress, text] : cases) EXPECT_EQ(ProgressValue(progress), text) << progress;
}

TEST(AccessibleParts, HitTestAndNavigationFollowTheLayout) {
    const AccessibleView v = SampleView();
    EXPECT_EQ(ChildAt(v, {130, 200}), kAccHeadline);
    EXPECT_EQ(ChildAt(v, {300, 270}), kAccProgress);
    EXPECT_EQ(ChildAt(v, {400, 320}), kAccMainButton);
    EXPECT_EQ(ChildAt(v, {105, 105}), kAccSelf);
    EXPECT_EQ(ChildAt(v, {99, 105}), -1);
    EXPECT_EQ(NavigateChild(kAccSelf, NAVDIR_FIRSTCHILD), kAccHeadline);
    EXPECT_EQ(NavigateChild(kAccSelf, NAVDIR_LASTCHILD), kAccMainButton);
    EXPECT_EQ(NavigateChild(kAccProgress, NAVDIR_NEXT), kAccSetupButton);
    EXPECT_EQ(NavigateChild(kAccMainButton, NAVDIR_NEXT), 0);
    EXPECT_EQ(NavigateChild(kAccHeadline, NAVDIR_PREVIOUS), 0);
    EXPECT_EQ(NavigateChild(kAccHeadline, NAVDIR_FIRSTCHILD), 0);
}

// One event per changed text, and a progress event only when the percentage a reader hears changes.
TEST(AccessibleParts, AStatusChangeRaisesOneEventPerChangedPart) {
    const StatusSnapshot base{L"กำลังดาวน์โหลดอัปเดต...", L"a.bin", 450};
    const struct {
        StatusSnapshot after;
        std::vector<std::pair<DWORD, long>> events;
    } cases[] = {
        {base, {}},
        {{base.headline, base.detail, 459}, {}},
        {{base.headline, base.detail, 460}, {{EVENT_OBJECT_VALUECHANGE, kAccProgress}}},
        {{base.headline, L"b.bin", 450}, {{EVENT_OBJECT_NAMECHANGE, kAccDetail}}},
        {{L"อัปเดตเสร็จสมบูรณ์ พร้อมเข้าเกม!", L"", 1000},
         {{EVENT_OBJECT_NAMECHANGE, kAccHeadline},
          {EVENT_OBJECT_NAMECHANGE, kAccDetail},
          {EVENT_OBJECT_VALUECHANGE, kAccProgress}}},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<DWORD, long>> got;
        for (const AccessibleEvent& e : StatusEvents(base, c.after)) got.push_back({e.event, e.child});
        EXPECT_EQ(got, c.events) << c.after.progress;
    }
}
