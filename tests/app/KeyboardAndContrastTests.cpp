// The window without a mouse (Tab, Enter, Space, Esc, a focus rectangle that shows) and in high contrast.
#include <gtest/gtest.h>

#include "HooksScope.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "TestWindow.h"
#include "UiDriver.h"
#include "app/MainWindow.h"

namespace {

bool IsStartGame(const qt::Button& b) { return b.enabled && b.text == L"เริ่มเกม (Start Game)"; }
bool IsFocused(const qt::Button& b) { return b.focused; }

// A key as the keyboard delivers it to the focused control: through the program's message loop.
void Key(HWND control, WPARAM key, bool up = false) {
    PostMessageW(control, WM_KEYDOWN, key, 1);
    if (up) PostMessageW(control, WM_KEYUP, key, 0xC0000001);
}

// Ends the program if the test stops early: a window left open would hold the single-instance mutex.
struct EndsProcess {
    HANDLE h;
    ~EndsProcess() {
        if (!h) return;
        TerminateProcess(h, 997);
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
};

bool WaitForFile(const std::wstring& path, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!qt::Exists(path) && GetTickCount64() < end) Sleep(20);
    return qt::Exists(path);
}

}  // namespace

TEST(Keyboard, TabMovesEnterAndSpacePressAndEscapeCloses) {
    std::wstring game = qt::FreshDir(L"keyboard");
    CopyFileW((qt::BinaryDir() + L"\\QirellPatcher.exe").c_str(), (game + L"\\QirellPatcher.exe").c_str(), FALSE);
    CopyFileW((qt::BinaryDir() + L"\\tools\\stub-client\\stub-client.exe").c_str(), (game + L"\\Setup.exe").c_str(),
              FALSE);
    qt::WriteBytes(game + L"\\data.qpa", "qpa");
    qt::PublishFile("keyboard/manifest.json",
                    "{\"version\": \"1\", \"files\": [{\"path\": \"data.qpa\", \"size\": 3, "
                    "\"sha256\": \"" +
                        qt::Sha256Hex("qpa") + "\"}]}");
    DWORD pid = 0;
    EndsProcess run{qt::StartProcess(game + L"\\QirellPatcher.exe",
                                     L"--url " + qt::Wide(qt::HttpUrl("keyboard/manifest.json")), game, &pid)};
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    // The caption changes a moment before the focus moves.
    qt::Button main = qt::WaitForButton(
        w, ID_MAIN_BUTTON, [](const qt::Button& b) { return IsStartGame(b) && b.focused; }, 20000);
    ASSERT_TRUE(IsStartGame(main));
    ASSERT_TRUE(main.focused);
    HWND mainButton = GetDlgItem(w, ID_MAIN_BUTTON), setupButton = GetDlgItem(w, ID_SETUP_BUTTON);
    EXPECT_EQ(SendMessageW(mainButton, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS, 0);

    // The focus rectangle is drawn: the main button looks different once the focus leaves it.
    RECT r;
    GetWindowRect(mainButton, &r);
    MapWindowPoints(nullptr, w, reinterpret_cast<POINT*>(&r), 2);
    const auto mainPixels = [&] {
        int cw = 0, ch = 0;
        std::vector<COLORREF> px = qt::ClientPixels(w, cw, ch), inside;
        for (int y = r.top; y < r.bottom && y < ch; ++y)
            for (int x = r.left; x < r.right && x < cw; ++x) inside.push_back(px[static_cast<size_t>(y) * cw + x]);
        return inside;
    };
    const std::vector<COLORREF> focused = mainPixels();
    Key(mainButton, VK_TAB);
    EXPECT_TRUE(qt::WaitForButton(w, ID_SETUP_BUTTON, IsFocused, 10000).focused);
    EXPECT_TRUE(qt::PumpUntil([&] { return mainPixels() != focused; }, 5000));
    const std::wstring record = game + L"\\Setup.exe.record.txt";
    Key(setupButton, VK_RETURN);
    EXPECT_TRUE(WaitForFile(record, 20000));
    for (int i = 0; i < 100 && qt::Exists(record) && !DeleteFileW(record.c_str()); ++i) Sleep(50);
    ASSERT_FALSE(qt::Exists(record));
    Key(setupButton, VK_SPACE, true);
    EXPECT_TRUE(WaitForFile(record, 20000));
    Key(setupButton, VK_TAB);
    EXPECT_TRUE(qt::WaitForButton(w, ID_MAIN_BUTTON, IsFocused, 10000).focused);

    Key(mainButton, VK_ESCAPE);
    DWORD code = 999;
    EXPECT_EQ(WaitForSingleObject(run.h, 20000), WAIT_OBJECT_0);
    GetExitCodeProcess(run.h, &code);
    EXPECT_EQ(code, 0u);  // closed as by the close box, after a ready run
}

// Windows hides focus rectangles after a start by mouse until a key is pressed; this window keeps them
// shown. (Wine keeps no such state, so the mapping is checked on its own.)
TEST(Keyboard, KeyboardCuesNeverHideTheFocusRectangle) {
    const std::pair<WPARAM, WPARAM> cases[] = {
        {MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS | UISF_HIDEACCEL), MAKEWPARAM(UIS_SET, UISF_HIDEACCEL)},
        {MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS), MAKEWPARAM(UIS_SET, 0)},
        {MAKEWPARAM(UIS_INITIALIZE, 0), MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS)},
        {MAKEWPARAM(UIS_CLEAR, UISF_HIDEACCEL), MAKEWPARAM(UIS_CLEAR, UISF_HIDEACCEL)},
    };
    for (const auto& [asked, kept] : cases) EXPECT_EQ(FocusCuesKeptShown(asked), kept) << std::hex << asked;
}

// The switch and the system colours are followed while the window is open, both ways.
TEST(HighContrast, TheWindowFollowsTheSwitchAndTheSystemColours) {
    HWND w = qt::CreateTestWindow(true);
    ASSERT_NE(w, nullptr);
    auto shows = [&](COLORREF c) { return qt::PumpUntil([&] { return qt::ClientPixel(w, 2, 100) == c; }, 10000); };
    EXPECT_TRUE(shows(RGB(20, 24, 36)));
    {
        qt::HooksScope hooks;
        gHooks.highContrast = [] { return true; };
        SendMessageW(w, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
        EXPECT_TRUE(shows(GetSysColor(COLOR_WINDOW)));

        const int which[] = {COLOR_WINDOW, COLOR_WINDOWTEXT};
        const COLORREF was[] = {GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)};
        const COLORREF black[] = {RGB(0, 0, 0), RGB(255, 255, 0)};
        ASSERT_TRUE(SetSysColors(2, which, black));
        EXPECT_TRUE(shows(RGB(0, 0, 0)));
        EXPECT_EQ(qt::ClientPixel(w, 2, 75), RGB(255, 255, 0));  // the rule in the window text colour
        SetSysColors(2, which, was);
        EXPECT_TRUE(shows(was[0]));
    }
    SendMessageW(w, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_TRUE(shows(RGB(20, 24, 36)));
    qt::DestroyTestWindow(w);
}
