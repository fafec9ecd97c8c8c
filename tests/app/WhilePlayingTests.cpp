// Start Game while the next release is pre-loading: with "while_playing" the window hides and the
// pre-load goes on until the game ends or the patcher starts again; without it the patcher ends as always.
#include <gtest/gtest.h>

#include "TestServers.h"
#include "TestSupport.h"
#include "UiDriver.h"
#include "app/MainWindow.h"

namespace {

const wchar_t kKey[] = L"Software\\Morvane Soft\\Skelvard";

bool IsStartGame(const qt::Button& b) { return b.enabled && b.text == L"เริ่มเกม (Start Game)"; }

// An up-to-date game folder whose manifest announces a next release with one file the fault server
// trickles out, so that its pre-load is still going when the game starts. The stub client stays until
// the test lets it go. The patchers keep their state and support log in a folder of the test's own.
struct Playing {
    std::string name;
    std::wstring game, until, data;
    std::wstring url;
    qt::LogMark mark;

    Playing(const std::string& n, const std::string& nextOptions) : name(n) {
        game = qt::FreshDir(qt::Wide("playing-" + name));
        data = qt::FreshDir(qt::Wide("playing-data-" + name));
        until = game + L"\\let-the-game-end";
        CopyFileW((qt::BinaryDir() + L"\\QirellPatcher.exe").c_str(), (game + L"\\QirellPatcher.exe").c_str(), FALSE);
        CopyFileW((qt::BinaryDir() + L"\\tools\\stub-client\\stub-client.exe").c_str(),
                  (game + L"\\QirellQX.exe").c_str(), FALSE);
        qt::WriteBytes(game + L"\\data.qpa", "qpa");
        qt::WriteBytes(game + L"\\a.bin", "alpha");
        const std::string big = qt::Pattern(4000000, 7);  // 20 s at the server's pace
        const std::string a = "{\"path\": \"a.bin\", \"size\": 5, \"sha256\": \"" + qt::Sha256Hex("alpha") + "\"}";
        qt::PublishFile(name + "/files/a.bin", "alpha");
        qt::PublishFile(name + "/next/files/big.bin", big);
        qt::PublishFile(name + "/next/manifest.json",
                        "{\"version\": \"2\", \"files\": [" + a + ", {\"path\": \"big.bin\", \"size\": " +
                            std::to_string(big.size()) + ", \"sha256\": \"" + qt::Sha256Hex(big) + "\", \"url\": \"" +
                            qt::FaultUrl("slow/200000", name + "/next/files/big.bin") + "\"}]}");
        qt::PublishFile(name + "/manifest.json", "{\"version\": \"1\", \"files\": [" + a + "], \"next\": {\"url\": \"" +
                                                     qt::HttpUrl(name + "/next/manifest.json") + "\"" + nextOptions +
                                                     "}}");
        url = qt::Wide(qt::HttpUrl(name + "/manifest.json"));
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
        RegCloseKey(key);
        mark = qt::MarkLogs();
    }
    ~Playing() {
        qt::WriteBytes(until, "");  // the stub client ends
        RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
    }

    // Starts the patcher; its client will run until the test writes `until`.
    HANDLE Start(DWORD& pid) {
        wchar_t previous[MAX_PATH] = {};
        GetEnvironmentVariableW(L"LOCALAPPDATA", previous, MAX_PATH);
        SetEnvironmentVariableW(L"LOCALAPPDATA", data.c_str());
        SetEnvironmentVariableW(L"QIRELL_STUB_UNTIL", until.c_str());
        HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe", L"--url " + url, game, &pid);
        SetEnvironmentVariableW(L"QIRELL_STUB_UNTIL", nullptr);
        SetEnvironmentVariableW(L"LOCALAPPDATA", previous);
        return h;
    }
    std::string Log() const { return qt::ReadBytes(data + L"\\QirellPatcher\\QirellPatcher.log"); }
    bool Logged(const std::string& part) const { return Log().find(part) != std::string::npos; }

    // Ready, and the next release's file requested: Start Game is pressed while the pre-load runs.
    bool StartGameWhilePreloading(HWND w) {
        if (!IsStartGame(qt::WaitForButton(w, ID_MAIN_BUTTON, IsStartGame, 20000))) return false;
        for (int i = 0; i < 400 && qt::RequestsFor(mark, name + "/next/files/big.bin").empty(); ++i) Sleep(50);
        if (qt::RequestsFor(mark, name + "/next/files/big.bin").empty()) return false;
        qt::ClickButton(w, ID_MAIN_BUTTON);
        for (int i = 0; i < 200 && qt::ReadBytes(game + L"\\QirellQX.exe.record.txt").empty(); ++i) Sleep(50);
        return !qt::ReadBytes(game + L"\\QirellQX.exe.record.txt").empty();
    }
};

bool HiddenSoon(HWND w) {
    for (int i = 0; i < 200 && IsWindowVisible(w); ++i) Sleep(50);
    return !IsWindowVisible(w);
}

}  // namespace

// Without the member Start Game stops the pre-load, which records where it stopped, and the patcher
// ends as it always did; with it the window hides, the pre-load goes on capped, and the process ends
// when the game does.
TEST(WhilePlaying, TheHiddenInstanceEndsWhenTheGameEndsAndWithoutTheMemberAtOnce) {
    for (const bool whilePlaying : {false, true}) {
        SCOPED_TRACE(whilePlaying ? "while_playing" : "no while_playing");
        Playing p(whilePlaying ? "hides" : "closes", whilePlaying ? ", \"while_playing\": true" : "");
        DWORD pid = 0;
        HANDLE h = p.Start(pid);
        HWND w = qt::WaitForMainWindow(pid, 20000);
        ASSERT_NE(w, nullptr);
        ASSERT_TRUE(p.StartGameWhilePreloading(w));
        if (whilePlaying) {
            EXPECT_TRUE(HiddenSoon(w));
            qt::WriteBytes(p.until, "");
        }
        EXPECT_EQ(qt::WaitForExit(h, 30000), 0u);
        EXPECT_EQ(p.Logged("the game ended: the pre-load stops"), whilePlaying) << p.Log();
        EXPECT_EQ(p.Logged("goes on while playing, at most 512 KiB/s, in the background"), whilePlaying);
        EXPECT_TRUE(p.Logged("pre-load: stopped, to go on next run")) << p.Log();
    }
}

// A new start stops the hidden instance, waits for it, then runs as usual with its window.
TEST(WhilePlaying, ASecondStartEndsTheHiddenInstanceThenRunsNormally) {
    Playing p("second", ", \"while_playing\": true, \"max_kib_per_s\": 64");
    DWORD firstPid = 0;
    HANDLE first = p.Start(firstPid);
    HWND w = qt::WaitForMainWindow(firstPid, 20000);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(p.StartGameWhilePreloading(w));
    ASSERT_TRUE(HiddenSoon(w));

    DWORD secondPid = 0;
    HANDLE second = p.Start(secondPid);
    EXPECT_EQ(qt::WaitForExit(first, 30000), 0u);
    HWND again = qt::WaitForMainWindow(secondPid, 30000);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(IsStartGame(qt::WaitForButton(again, ID_MAIN_BUTTON, IsStartGame, 20000)));
    PostMessageW(again, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(second, 20000), 0u);
    EXPECT_TRUE(p.Logged("at most 64 KiB/s")) << p.Log();
    EXPECT_TRUE(p.Logged("asking it to stop")) << p.Log();
}
