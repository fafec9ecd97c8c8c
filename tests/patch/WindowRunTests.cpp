// The real program's window through whole runs: the running-game guard, Start Game and Setup clicks,
// and what the window shows while a run is busy.
#include <gtest/gtest.h>

#include "PatchTestSite.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "UiDriver.h"

namespace {

constexpr int kMain = 201, kSetup = 202;
const wchar_t kCaption[] = L"Qirell QX Auto-Patcher";
const wchar_t kKey[] = L"Software\\Morvane Soft\\Skelvard";

std::wstring Stub() { return qt::BinaryDir() + L"\\tools\\stub-client\\stub-client.exe"; }

std::wstring GameFolder(const std::wstring& name) {
    std::wstring dir = qt::FreshDir(name);
    CopyFileW((qt::BinaryDir() + L"\\QirellPatcher.exe").c_str(), (dir + L"\\QirellPatcher.exe").c_str(), FALSE);
    CopyFileW(Stub().c_str(), (dir + L"\\QirellQX.exe").c_str(), FALSE);
    CopyFileW(Stub().c_str(), (dir + L"\\Setup.exe").c_str(), FALSE);
    qt::WriteBytes(dir + L"\\data.qpa", "qpa");
    return dir;
}

// A stand-in client process, running from another folder under the image name QIRELLQX.EXE.
HANDLE StartRunningClient() {
    std::wstring dir = qt::FreshDir(L"window-client-elsewhere");
    CopyFileW(Stub().c_str(), (dir + L"\\QIRELLQX.EXE").c_str(), FALSE);
    SetEnvironmentVariableW(L"QIRELL_STUB_SECONDS", L"120");
    HANDLE h = qt::StartProcess(dir + L"\\QIRELLQX.EXE", L"", dir);
    SetEnvironmentVariableW(L"QIRELL_STUB_SECONDS", nullptr);
    return h;
}

void EndProcess(HANDLE h) {
    TerminateProcess(h, 0);
    WaitForSingleObject(h, 10000);
    CloseHandle(h);
}

// The window enables the button a moment before it sets the end state's text.
bool ShowsRetry(const qt::Button& b) { return b.enabled && b.text == L"ลองใหม่ (Retry)"; }
bool IsStartGame(const qt::Button& b) { return b.enabled && b.text == L"เริ่มเกม (Start Game)"; }

const std::wstring kGuardText = L"ตรวจพบว่าตัวเกม Qirell QX กำลังเปิดอยู่\n\nกรุณาปิดเกมทุกจอก่อนทำการอัปเดตไฟล์ แล้วกด ลองใหม่ (Retry)";

}  // namespace

TEST(WindowGuard, TheBoxComesBackUntilTheClientEndsAndCancelOffersRetry) {
    pt::Site site = pt::MakeSite("window-guard");
    const std::string url = pt::Publish(site, "g", {{"a.bin", "new"}});
    std::wstring game = GameFolder(L"window-guard");
    qt::WriteBytes(game + L"\\a.bin", "old");
    HANDLE client = StartRunningClient();
    ASSERT_NE(client, nullptr);

    DWORD pid = 0;
    HANDLE patcher = qt::StartProcess(game + L"\\QirellPatcher.exe", L"--url " + qt::Wide(url), game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    HWND box = qt::WaitForMessageBox(kCaption, pid, 20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(qt::MessageBoxText(box), kGuardText);
    EXPECT_EQ(GetWindow(box, GW_OWNER), w);
    EXPECT_FALSE(qt::GetButton(w, kMain).enabled);
    qt::AnswerMessageBox(box, IDRETRY);
    box = qt::WaitForMessageBox(kCaption, pid, 20000);  // still running: asked again
    ASSERT_NE(box, nullptr);
    qt::AnswerMessageBox(box, IDCANCEL);
    qt::Button main = qt::WaitForButton(w, kMain, ShowsRetry, 20000);
    EXPECT_TRUE(ShowsRetry(main)) << qt::Utf8(main.text);
    EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "old");

    // Retry in the window is a whole new run: it asks again, and goes on once the client is gone.
    qt::ClickButton(w, kMain);
    box = qt::WaitForMessageBox(kCaption, pid, 20000);
    ASSERT_NE(box, nullptr);
    EndProcess(client);
    qt::AnswerMessageBox(box, IDRETRY);
    main = qt::WaitForButton(w, kMain, IsStartGame, 20000);
    EXPECT_TRUE(IsStartGame(main)) << qt::Utf8(main.text);
    EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "new");
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(patcher), 0u);
}

TEST(WindowLaunch, StartGameAfterAReadyRunStartsTheClientAndCloses) {
    pt::Site site = pt::MakeSite("window-start");
    const std::string url = pt::Publish(site, "s", {{"a.bin", "a"}});
    std::wstring game = GameFolder(L"window-start");
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    RegCloseKey(key);
    DWORD pid = 0;
    HANDLE patcher = qt::StartProcess(game + L"\\QirellPatcher.exe", L"--url " + qt::Wide(url), game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(IsStartGame(qt::WaitForButton(w, kMain, IsStartGame, 20000)));
    qt::ClickButton(w, kMain);
    EXPECT_EQ(qt::WaitForExit(patcher), 0u);
    std::string record;
    for (int i = 0; i < 100 && record.empty(); ++i, Sleep(50)) record = qt::ReadBytes(game + L"\\QirellQX.exe.record.txt");
    EXPECT_NE(record.find("cmdline=\"QirellQX.exe\" 4vqe4\n"), std::string::npos) << record;
    EXPECT_NE(record.find("QIRELL_PATCHER_OK=1"), std::string::npos) << record;
    RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
}

TEST(WindowLaunch, SetupDuringABusyRunLeavesTheRunAlone) {
    pt::Site site = pt::MakeSite("window-setup");
    std::vector<pt::Entry> entries = {{"big.bin", std::string(400000, 'b')}};
    pt::Publish(site, "s", entries);
    // The file trickles in, so the run stays busy for a few seconds.
    entries[0].url = qt::FaultUrl("slow/100000", "window-setup/files/big.bin");
    qt::WriteBytes(site.root + L"\\slow.json", pt::ManifestText("s", entries, {}, {}, ""));
    std::wstring game = GameFolder(L"window-setup");
    DWORD pid = 0;
    HANDLE patcher = qt::StartProcess(game + L"\\QirellPatcher.exe",
                                      L"--url " + qt::Wide(site.httpBase + "slow.json"), game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    auto fillWidth = [&] {
        int cw = 0, ch = 0, n = 0;
        const std::vector<COLORREF> px = qt::ClientPixels(w, cw, ch);
        if (ch <= 162 || cw < 475) return 0;
        for (int x = 25; x < 475; ++x) n += px[static_cast<size_t>(162) * cw + x] == RGB(212, 175, 55);
        return n;
    };
    // Busy: the bar has begun to fill.
    for (int i = 0; i < 400 && fillWidth() == 0; ++i) Sleep(50);
    ASSERT_FALSE(qt::GetButton(w, kMain).enabled);
    qt::ClickButton(w, kSetup);
    std::string record;
    for (int i = 0; i < 100 && record.empty(); ++i, Sleep(50)) record = qt::ReadBytes(game + L"\\Setup.exe.record.txt");
    EXPECT_NE(record.find("cmdline=\"Setup.exe\"\n"), std::string::npos) << record;
    EXPECT_NE(record.find("QIRELL_PATCHER_OK=<unset>"), std::string::npos) << record;
    EXPECT_TRUE(IsWindow(w));

    // The run goes on, and the bar fills in steps as the bytes come in.
    std::vector<int> widths;
    qt::Button main;
    for (int i = 0; i < 600 && !IsStartGame(main = qt::GetButton(w, kMain)); ++i) {
        const int width = fillWidth();
        if (width > 0 && width < 450 && (widths.empty() || widths.back() != width)) widths.push_back(width);
        Sleep(50);
    }
    EXPECT_TRUE(IsStartGame(main)) << qt::Utf8(main.text);
    EXPECT_GE(widths.size(), 2u) << "the bar never moved while the file came in";
    COLORREF end = 0;
    for (int i = 0; i < 100 && (end = qt::ClientPixel(w, 474, 162)) != RGB(56, 182, 108); ++i) Sleep(50);
    EXPECT_EQ(end, RGB(56, 182, 108));
    EXPECT_EQ(qt::ReadBytes(game + L"\\big.bin"), entries[0].content);
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(patcher), 0u);
}

TEST(WindowSelfUpdate, TheRunningProgramIsReplacedAndTheNextStartRemovesTheOldOne) {
    const std::string exe = qt::ReadBytes(qt::BinaryDir() + L"\\QirellPatcher.exe");
    pt::Site site = pt::MakeSite("window-self");
    const std::string newBuild = exe + std::string(512, 'N');  // PE files tolerate trailing bytes
    const std::string url = pt::Publish(site, "self", {{"qirellpatcher.EXE", newBuild}, {"tools/QirellPatcher.exe", "t"}});
    std::wstring game = GameFolder(L"window-self");
    qt::MakeDirs(game + L"\\tools");
    qt::WriteBytes(game + L"\\tools\\QirellPatcher.exe", "old tool");
    qt::ProcessResult r = qt::RunProcess(game + L"\\QirellPatcher.exe", L"--auto-close --url " + qt::Wide(url), game);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(qt::ReadBytes(game + L"\\QirellPatcher.exe"), newBuild);
    EXPECT_EQ(qt::ReadBytes(game + L"\\QirellPatcher.exe.old"), exe);
    EXPECT_EQ(qt::ReadBytes(game + L"\\tools\\QirellPatcher.exe"), "t");
    EXPECT_FALSE(qt::Exists(game + L"\\tools\\QirellPatcher.exe.old"));
    // The new build starts, finds everything up to date, and deletes the leftover.
    r = qt::RunProcess(game + L"\\QirellPatcher.exe", L"--auto-close --url " + qt::Wide(url), game);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_FALSE(qt::Exists(game + L"\\QirellPatcher.exe.old"));
}
