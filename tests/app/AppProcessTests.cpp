// The real executable under Wine: start-up, the single instance, the window's end states.
#include <gtest/gtest.h>

#include <thread>

#include "TestServers.h"
#include "TestSupport.h"
#include "UiDriver.h"
#include "app/MainWindow.h"
#include "trust/StampBlock.h"
#include "base/StatusBoard.h"

namespace {

const wchar_t kCaption[] = L"Qirell QX Auto-Patcher";
const std::wstring kRefused = L"--url http://localhost:1/patch/manifest.json";

// A game folder holding a copy of the program under the given name.
std::wstring GameWithExe(const std::wstring& name, const std::wstring& exeName = L"QirellPatcher.exe",
                         bool archive = true) {
    std::wstring dir = qt::FreshDir(L"app-" + name);
    CopyFileW((qt::BinaryDir() + L"\\QirellPatcher.exe").c_str(), (dir + L"\\" + exeName).c_str(), FALSE);
    if (archive) qt::WriteBytes(dir + L"\\data.qpa", "qpa");
    return dir;
}

bool IsRetry(const qt::Button& b) { return b.enabled && b.text == L"ลองใหม่ (Retry)"; }
bool IsStartGame(const qt::Button& b) { return b.enabled && b.text == L"เริ่มเกม (Start Game)"; }

// An up-to-date game folder and its manifest on the web server.
std::string PublishUpToDate(const std::wstring& game, const std::string& name) {
    qt::PublishFile(name + "/files/a.bin", "alpha");
    qt::PublishFile(name + "/manifest.json",
                    "{\"version\": \"1\", \"files\": [{\"path\": \"a.bin\", \"size\": 5, \"sha256\": \"" +
                        qt::Sha256Hex("alpha") + "\"}]}");
    qt::WriteBytes(game + L"\\a.bin", "alpha");
    return qt::HttpUrl(name + "/manifest.json");
}

// A start-up refusal: the warning box with its text and OK only, no main window; answered, exit code 1.
void ExpectWarningBoxAndExitOne(HANDLE h, DWORD pid, const std::wstring& text) {
    HWND box = qt::WaitForMessageBox(kCaption, pid, 20000);
    EXPECT_NE(box, nullptr);
    if (!box) {
        qt::WaitForExit(h, 0);  // ends it
        return;
    }
    EXPECT_EQ(qt::MessageBoxText(box), text);
    EXPECT_EQ(qt::MessageBoxButtons(box), std::vector<int>{IDOK});
    EXPECT_EQ(qt::FindMainWindow(pid), nullptr);
    qt::AnswerMessageBox(box, IDOK);
    EXPECT_EQ(qt::WaitForExit(h), 1u);
}

}  // namespace

TEST(StartUp, WithoutTheArchiveAWarningBoxAndExitOne) {
    std::wstring game = GameWithExe(L"noqpa", L"QirellPatcher.exe", false);
    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe", kRefused, game, &pid);
    ASSERT_NE(h, nullptr);
    ExpectWarningBoxAndExitOne(h, pid,
                               L"ไม่พบไฟล์ data.qpa ในโฟลเดอร์นี้!\n\nกรุณานำไฟล์ QirellPatcher.exe ไปวางไว้ในโฟลเดอร์เกม QirellQX\n"
                               L"(โฟลเดอร์เดียวกับ QirellQX.exe และ data.qpa) แล้วเปิดใหม่อีกครั้ง");
}

// A block that might have held keys and cannot be read: no run, so no manifest without its signature.
TEST(StartUp, ADamagedStampBlockRefusesToRunWithoutARequest) {
    const struct {
        const wchar_t* name;
        size_t at;
        char value;
    } damages[] = {{L"layout", kStampVersionAt, kStampLayoutVersion + 1}, {L"keys", kStampKeyCountAt, 5}};
    for (const auto& d : damages) {
        SCOPED_TRACE(qt::Utf8(d.name));
        std::wstring game = GameWithExe(std::wstring(L"stamp-") + d.name);
        std::string image = qt::ReadBytes(game + L"\\QirellPatcher.exe");
        const StampBlockSearch found = FindStampMagic(reinterpret_cast<const uint8_t*>(image.data()), image.size());
        ASSERT_EQ(found.count, 1u);
        image[found.first + d.at] = d.value;
        ASSERT_TRUE(qt::WriteBytes(game + L"\\QirellPatcher.exe", image));
        const qt::LogMark mark = qt::MarkLogs();
        DWORD pid = 0;
        HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe",
                                    L"--url " + qt::Wide(qt::HttpUrl("stamp-damaged/manifest.json")), game, &pid);
        ASSERT_NE(h, nullptr);
        ExpectWarningBoxAndExitOne(h, pid,
                                   L"ไฟล์ QirellPatcher.exe นี้เสียหาย ไม่สามารถอ่านการตั้งค่าภายในไฟล์ได้!\n\n"
                                   L"กรุณาดาวน์โหลด QirellPatcher.exe ใหม่จากผู้ให้บริการเกม\n"
                                   L"แล้วนำไปวางแทนไฟล์เดิมในโฟลเดอร์เกม QirellQX");
        qt::WaitForRequests(mark, 1, 1000);
        EXPECT_TRUE(qt::RequestsFor(mark, "stamp-damaged").empty());
    }
}

TEST(StartUp, AllowNoQpaStartsAndAFailedRunOffersRetry) {
    std::wstring game = GameWithExe(L"allownoqpa", L"QirellPatcher.exe", false);
    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe", L"--allow-no-qpa " + kRefused, game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    wchar_t title[64] = {};
    GetWindowTextW(w, title, 64);
    EXPECT_EQ(std::wstring(title), L"Qirell QX \u2014 Auto-Patcher");
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(qt::ClientSize(w).cx, MulDiv(500, dpi, 96));
    EXPECT_EQ(qt::ClientSize(w).cy, MulDiv(265, dpi, 96));
    qt::Button main = qt::WaitForButton(w, ID_MAIN_BUTTON, IsRetry, 20000);
    EXPECT_TRUE(IsRetry(main)) << qt::Utf8(main.text);
    EXPECT_FALSE(main.focused);
    qt::Button setup = qt::GetButton(w, ID_SETUP_BUTTON);
    EXPECT_EQ(setup.text, L"ตั้งค่าจอ (Setup)");
    EXPECT_TRUE(setup.enabled);
    // The failed run paints a red headline; the repaint may trail the button's new caption.
    bool red = false;
    for (int tries = 0; tries < 100 && !red; ++tries) {
        if (tries) Sleep(50);
        int cw = 0, ch = 0;
        std::vector<COLORREF> px = qt::ClientPixels(w, cw, ch);
        for (int y = 97; y < 125 && y < ch; ++y)
            for (int x = 24; x < 476 && x < cw; ++x)
                red = red || px[static_cast<size_t>(y) * cw + x] == RGB(255, 110, 110);
    }
    EXPECT_TRUE(red);
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(h), 1u);
}

TEST(StartUp, ASecondStartHandsOverToTheFirstUnlessAutoClose) {
    std::wstring game = GameWithExe(L"second");
    DWORD firstPid = 0;
    HANDLE first = qt::StartProcess(game + L"\\QirellPatcher.exe", kRefused, game, &firstPid);
    HWND w = qt::WaitForMainWindow(firstPid, 20000);
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_MINIMIZE);
    for (int i = 0; i < 100 && !IsIconic(w); ++i) Sleep(20);
    ASSERT_TRUE(IsIconic(w));

    DWORD secondPid = 0;
    HANDLE second = qt::StartProcess(game + L"\\QirellPatcher.exe", kRefused, game, &secondPid);
    EXPECT_EQ(qt::WaitForExit(second, 20000), 0u);
    EXPECT_EQ(qt::FindMainWindow(secondPid), nullptr);
    for (int i = 0; i < 100 && IsIconic(w); ++i) Sleep(20);
    EXPECT_FALSE(IsIconic(w));

    // With --auto-close a second start is a full instance of its own.
    DWORD thirdPid = 0;
    HANDLE third = qt::StartProcess(game + L"\\QirellPatcher.exe", L"--auto-close " + kRefused, game, &thirdPid);
    EXPECT_EQ(qt::WaitForExit(third, 30000), 1u);
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(first), 1u);
}

TEST(StartUp, TheOwnFolderIsTheGameFolderAndTheOldLeftoverGoes) {
    std::wstring game = GameWithExe(L"ownfolder", L"Updater.exe");
    qt::WriteBytes(game + L"\\Updater.exe.old", "leftover");
    std::wstring elsewhere = qt::FreshDir(L"app-elsewhere");  // no data.qpa here
    qt::WriteBytes(elsewhere + L"\\Updater.exe.old", "not ours");
    qt::ProcessResult r = qt::RunProcess(game + L"\\Updater.exe", L"--auto-close " + kRefused, elsewhere, 30000);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1u);  // the run failed; the archive check passed in the program's own folder
    EXPECT_FALSE(qt::Exists(game + L"\\Updater.exe.old"));
    EXPECT_TRUE(qt::Exists(elsewhere + L"\\Updater.exe.old"));
    EXPECT_TRUE(qt::Exists(game + L"\\savedata") == false);
}

TEST(EndStates, ReadyRunOffersStartGameWithFocusAndAutoCloseExitsZero) {
    std::wstring game = GameWithExe(L"ready");
    const std::wstring url = qt::Wide(PublishUpToDate(game, "app-ready"));
    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe", L"--url " + url, game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    // The caption changes before the focus moves: wait for both.
    qt::Button main =
        qt::WaitForButton(w, ID_MAIN_BUTTON, [](const qt::Button& b) { return IsStartGame(b) && b.focused; }, 20000);
    EXPECT_TRUE(IsStartGame(main)) << qt::Utf8(main.text);
    EXPECT_TRUE(main.focused);
    // Ready: a green bar all along the track. The caption changes at once, the repaint follows later.
    for (int i = 0; i < 100 && qt::ClientPixel(w, 25, 160) != RGB(56, 182, 108); ++i) Sleep(20);
    EXPECT_EQ(qt::ClientPixel(w, 25, 160), RGB(56, 182, 108));
    EXPECT_EQ(qt::ClientPixel(w, 474, 160), RGB(56, 182, 108));
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(h), 0u);

    qt::ProcessResult autoClosed = qt::RunProcess(game + L"\\QirellPatcher.exe", L"--auto-close --url " + url, game);
    EXPECT_FALSE(autoClosed.timedOut);
    EXPECT_EQ(autoClosed.exitCode, 0u);
}

TEST(EndStates, RetryStartsAWholeNewRun) {
    std::wstring game = GameWithExe(L"retry");
    qt::PublishFile("app-retry/files/a.bin", "alpha");
    const std::string manifest = "{\"version\": \"1\", \"files\": [{\"path\": \"a.bin\", \"size\": 5, \"sha256\": \"" +
                                 qt::Sha256Hex("alpha") + "\"}]}";
    DeleteFileW(qt::WwwPath("app-retry/manifest.json").c_str());
    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe",
                                L"--url " + qt::Wide(qt::HttpUrl("app-retry/manifest.json")), game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(IsRetry(qt::WaitForButton(w, ID_MAIN_BUTTON, IsRetry, 20000)));  // 404 first
    qt::PublishFile("app-retry/manifest.json", manifest);
    qt::ClickButton(w, ID_MAIN_BUTTON);
    qt::Button main = qt::WaitForButton(w, ID_MAIN_BUTTON, IsStartGame, 20000);
    EXPECT_TRUE(IsStartGame(main)) << qt::Utf8(main.text);
    EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "alpha");
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(h), 0u);
}

namespace {

bool gEnded = false;

LRESULT CALLBACK TestProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_RUN_FINISHED) gEnded = true;
    return MainWindowProc(hwnd, msg, wp, lp);
}

}  // namespace

TEST(Coalescing, ABurstOfUpdatesNeverLosesTheEndNotification) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TestProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QirellCoalescingTest";
    RegisterClassExW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"t", WS_OVERLAPPEDWINDOW, 0, 0, 520, 310, nullptr, nullptr,
                             wc.hInstance, nullptr);
    ASSERT_NE(w, nullptr);
    Board().mainWindow = w;
    Board().autoClose = false;
    BeginRun();
    std::thread worker([] {
        for (int i = 0; i < 100000; ++i) UpdateStatus(L"กำลังดาวน์โหลดอัปเดต...", std::to_wstring(i), i % 1001);
        UpdateStatus(L"อัปเดตเสร็จสมบูรณ์ พร้อมเข้าเกม!", L"done", 1000);
        EndRunSuccess();
    });
    worker.join();  // the whole burst is queued before the window handles any of it
    gEnded = false;
    MSG msg;
    const ULONGLONG end = GetTickCount64() + 20000;
    while (!gEnded && GetTickCount64() < end) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(1);
    }
    EXPECT_TRUE(gEnded);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, ID_MAIN_BUTTON)));
    wchar_t text[64] = {};
    GetWindowTextW(GetDlgItem(w, ID_MAIN_BUTTON), text, 64);
    EXPECT_EQ(std::wstring(text), L"เริ่มเกม (Start Game)");
    EXPECT_EQ(ReadStatus().detail, L"done");
    Board().mainWindow = nullptr;
    DestroyWindow(w);
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

TEST(SupportLog, ARunAppendsItsLinesAndAFullLogIsKeptAsTheOlderFile) {
    const std::wstring data = qt::FreshDir(L"app-localappdata");
    wchar_t previous[MAX_PATH] = {};
    GetEnvironmentVariableW(L"LOCALAPPDATA", previous, MAX_PATH);
    SetEnvironmentVariableW(L"LOCALAPPDATA", data.c_str());  // the patcher inherits it
    const std::wstring folder = data + L"\\QirellPatcher";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::string old(1024 * 1024 - 100, 'o');
    qt::WriteBytes(folder + L"\\QirellPatcher.log", old);

    std::wstring game = GameWithExe(L"supportlog");
    const std::wstring url = qt::Wide(PublishUpToDate(game, "app-supportlog"));
    qt::ProcessResult run = qt::RunProcess(game + L"\\QirellPatcher.exe", L"--auto-close --url " + url, game);
    SetEnvironmentVariableW(L"LOCALAPPDATA", previous);
    EXPECT_EQ(run.exitCode, 0u);

    EXPECT_EQ(qt::ReadBytes(folder + L"\\QirellPatcher.log.1"), old);
    const std::string log = qt::ReadBytes(folder + L"\\QirellPatcher.log");
    for (const std::string& part : {std::string("start: QirellPatcher "), "--auto-close --url " + qt::Utf8(url),
                                    std::string("0 files to fetch"), std::string("end: exit 0 (ready) after ")})
        EXPECT_NE(log.find(part), std::string::npos) << part << " missing from\n" << log;
}
