// The window as a screen reader reads it: the accessible object and the WinEvents, read by the
// access-client tool in a process of its own, over whole runs of the real program.
#include <gtest/gtest.h>
#include <oleacc.h>

#include <string>
#include <vector>

#include "TestServers.h"
#include "TestSupport.h"
#include "TestWindow.h"
#include "UiDriver.h"
#include "app/MainWindow.h"
#include "base/StatusBoard.h"

namespace {

constexpr IID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const std::string kReady = "อัปเดตเสร็จสมบูรณ์ พร้อมเข้าเกม!";
const std::string kDownloading = "กำลังดาวน์โหลดอัปเดต...";

std::wstring Client() { return qt::BinaryDir() + L"\\tools\\access-client\\access-client.exe"; }

std::wstring HexOf(HWND w) {
    wchar_t b[32];
    swprintf(b, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(w)));
    return b;
}

std::vector<std::string> Lines(const std::wstring& path) {
    std::vector<std::string> lines;
    const std::string text = qt::ReadBytes(path);
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& l : lines)
        if (l.find(part) != std::string::npos) return true;
    return false;
}

std::string Child(const std::vector<std::string>& tree, int n) {
    for (const std::string& l : tree)
        if (l.rfind("child=" + std::to_string(n) + " ", 0) == 0) return l;
    return "<no child " + std::to_string(n) + ">";
}

std::vector<std::string> ReadTree(HWND w, const std::wstring& dir) {
    const std::wstring out = dir + L"\\tree.txt";
    DeleteFileW(out.c_str());
    const qt::ProcessResult r = qt::RunProcess(Client(), L"tree " + HexOf(w) + L" \"" + out + L"\"", dir, 30000);
    EXPECT_TRUE(r.started && !r.timedOut);
    return Lines(out);
}

// Waits (bounded) until a line holding part appears in the file.
bool WaitForLine(const std::wstring& path, const std::string& part, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!Has(Lines(path), part)) {
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
    return true;
}

std::wstring GameFolder(const std::wstring& name) {
    std::wstring dir = qt::FreshDir(name);
    CopyFileW((qt::BinaryDir() + L"\\QirellPatcher.exe").c_str(), (dir + L"\\QirellPatcher.exe").c_str(), FALSE);
    qt::WriteBytes(dir + L"\\data.qpa", "qpa");
    return dir;
}

bool IsStartGame(const qt::Button& b) { return b.enabled && b.text == L"เริ่มเกม (Start Game)"; }
bool IsRetry(const qt::Button& b) { return b.enabled && b.text == L"ลองใหม่ (Retry)"; }

}  // namespace

// One whole run with a download, heard from another process: the texts and the percentage while it
// downloads, the end state, the buttons, and the events in the order the window raised them.
TEST(Accessibility, AWholeRunIsReadAndAnnouncedFromAnotherProcess) {
    const std::wstring game = GameFolder(L"access-run");
    const std::string content = qt::Pattern(150000, 26);
    qt::PublishFile("access-run/files/big.bin", content);
    qt::PublishFile("access-run/manifest.json",
                    "{\"version\": \"7\", \"files\": [{\"path\": \"big.bin\", \"size\": 150000, \"sha256\": \"" +
                        qt::Sha256Hex(content) + "\", \"url\": \"" +
                        qt::FaultUrl("slow/50000", "access-run/files/big.bin") + "\"}]}");
    const std::wstring events = game + L"\\..\\access-run-events.txt";
    DeleteFileW(events.c_str());
    HANDLE watcher = qt::StartProcess(Client(), L"watch \"" + events + L"\" 120", game);
    ASSERT_NE(watcher, nullptr);
    ASSERT_TRUE(WaitForLine(events, "hooked", 20000));

    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe",
                                L"--url " + qt::Wide(qt::HttpUrl("access-run/manifest.json")), game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);

    // While it downloads (about 3 s): the headline, the file and a percentage between the ends.
    std::vector<std::string> busy;
    const ULONGLONG end = GetTickCount64() + 30000;
    while (GetTickCount64() < end && !Has(busy = ReadTree(w, game), "name=" + kDownloading)) Sleep(50);
    EXPECT_TRUE(Has(busy, "children 00000000: 1 2 3 4 5")) << Child(busy, 0);
    EXPECT_NE(Child(busy, 1).find("role=41 state=00000040 name=" + kDownloading), std::string::npos);
    EXPECT_NE(Child(busy, 2).find("big.bin"), std::string::npos) << Child(busy, 2);
    const std::string bar = Child(busy, 3);
    EXPECT_NE(bar.find("role=48 state=00000040 name=ความคืบหน้าการอัปเดต value="), std::string::npos) << bar;
    EXPECT_EQ(bar.find("value=100%"), std::string::npos) << bar;
    EXPECT_NE(Child(busy, 5).find("state=00100101 name=กำลังอัปเดต... value= action=กด"), std::string::npos)
        << Child(busy, 5);  // unavailable while busy

    ASSERT_TRUE(IsStartGame(qt::WaitForButton(w, 201, IsStartGame, 30000)));
    const std::vector<std::string> ready = ReadTree(w, game);
    EXPECT_NE(Child(ready, 1).find("name=" + kReady), std::string::npos) << Child(ready, 1);
    EXPECT_NE(Child(ready, 3).find("value=100%"), std::string::npos) << Child(ready, 3);
    EXPECT_NE(Child(ready, 4).find("role=43 state=00100000 name=ตั้งค่าจอ (Setup) value= action=กด"), std::string::npos)
        << Child(ready, 4);
    EXPECT_NE(Child(ready, 5).find("role=43 state=00100104 name=เริ่มเกม (Start Game) value= action=กด"),
              std::string::npos)
        << Child(ready, 5);  // focused and default
    EXPECT_TRUE(Has(ready, "focus=5"));

    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(h), 0u);
    EXPECT_EQ(qt::WaitForExit(watcher, 30000), 0u);
    const std::vector<std::string> heard = Lines(events);
    EXPECT_TRUE(Has(heard, "gone"));
    // Read when each event came: the download's headline, a percentage between the ends, the end.
    EXPECT_TRUE(Has(heard, "NAMECHANGE window object=-4 child=1 name=" + kDownloading));
    bool between = false;
    int values = 0;
    for (const std::string& l : heard) {
        if (l.find("VALUECHANGE window object=-4 child=3") == std::string::npos) continue;
        ++values;
        const size_t at = l.find("value=");
        const int percent = at == std::string::npos ? -1 : std::atoi(l.c_str() + at + 6);
        between = between || (percent > 0 && percent < 100);
    }
    EXPECT_TRUE(between);
    EXPECT_LE(values, 101);  // at most one per percentage step, however often the board changes
    EXPECT_TRUE(Has(heard, "NAMECHANGE window object=-4 child=1 name=" + kReady));
    EXPECT_TRUE(Has(heard, "NAMECHANGE window object=-4 child=5 name=เริ่มเกม (Start Game)"));
    EXPECT_TRUE(Has(heard, "STATECHANGE window object=-4 child=5 name=เริ่มเกม (Start Game) value= state=00100104"));
}

// A failed run reads its reason; the main button's default action is Retry, which starts a new run.
TEST(Accessibility, AFailedRunReadsItsReasonAndTheDefaultActionRetries) {
    const std::wstring game = GameFolder(L"access-failed");
    DeleteFileW(qt::WwwPath("access-failed/manifest.json").c_str());
    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe",
                                L"--url " + qt::Wide(qt::HttpUrl("access-failed/manifest.json")), game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(IsRetry(qt::WaitForButton(w, 201, IsRetry, 30000)));
    const std::vector<std::string> tree = ReadTree(w, game);
    EXPECT_NE(Child(tree, 1).find("name=เกิดข้อผิดพลาดในการเชื่อมต่อ"), std::string::npos) << Child(tree, 1);
    EXPECT_NE(Child(tree, 2).find("name=เซิร์ฟเวอร์ตอบกลับ HTTP 404"), std::string::npos) << Child(tree, 2);
    EXPECT_NE(Child(tree, 3).find("value=0%"), std::string::npos) << Child(tree, 3);
    EXPECT_NE(Child(tree, 5).find("state=00100100 name=ลองใหม่ (Retry) value= action=กด"), std::string::npos)
        << Child(tree, 5);  // enabled, not focused

    qt::PublishFile("access-failed/manifest.json",
                    "{\"version\": \"3\", \"files\": [{\"path\": \"data.qpa\", \"size\": 3, "
                    "\"sha256\": \"" +
                        qt::Sha256Hex("qpa") + "\"}]}");
    const std::wstring out = game + L"\\press.txt";
    const qt::ProcessResult r = qt::RunProcess(Client(), L"press " + HexOf(w) + L" 5 \"" + out + L"\"", game, 30000);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_TRUE(Has(Lines(out), "press 00000000"));
    EXPECT_TRUE(IsStartGame(qt::WaitForButton(w, 201, IsStartGame, 30000)));
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(qt::WaitForExit(h), 0u);
}

// The object lives no longer than its window: a client holding it afterwards gets failures, in this
// process and in another, and nothing crashes.
TEST(Accessibility, AnObjectHeldPastTheWindowFailsAsDisconnected) {
    HWND w = qt::CreateTestWindow(false);
    ASSERT_NE(w, nullptr);
    IAccessible* own = nullptr;
    ASSERT_EQ(
        AccessibleObjectFromWindow(w, static_cast<DWORD>(OBJID_CLIENT), kIidAccessible, reinterpret_cast<void**>(&own)),
        S_OK);
    long count = 0;
    EXPECT_EQ(own->get_accChildCount(&count), S_OK);
    EXPECT_EQ(count, 5);

    const std::wstring dir = qt::FreshDir(L"access-hold");
    const std::wstring out = dir + L"\\hold.txt";
    HANDLE holder = qt::StartProcess(Client(), L"hold " + HexOf(w) + L" \"" + out + L"\" 30", dir);
    ASSERT_NE(holder, nullptr);
    // The client's requests are answered on this thread: keep its messages flowing while it waits.
    EXPECT_TRUE(qt::PumpUntil([&] { return Has(Lines(out), "held "); }, 30000));
    qt::DestroyTestWindow(w);
    EXPECT_TRUE(qt::PumpUntil([&] { return WaitForSingleObject(holder, 0) == WAIT_OBJECT_0; }, 30000));
    EXPECT_EQ(qt::WaitForExit(holder, 0), 0u);
    const std::vector<std::string> heard = Lines(out);
    EXPECT_TRUE(Has(heard, "count 00000000"));  // before
    EXPECT_TRUE(Has(heard, "window gone"));
    // After: a failure of the RPC kind (Windows: RPC_E_DISCONNECTED; Wine: RPC_S_UNKNOWN_IF).
    const auto disconnected = [&](const std::string& call) {
        for (const char* code : {"80010108", "800706b5", "800401fd"})
            if (Has(heard, call + code)) return true;
        return false;
    };
    EXPECT_TRUE(disconnected("count ")) << qt::ReadBytes(out);
    EXPECT_TRUE(disconnected("name <"));
    EXPECT_TRUE(disconnected("press "));
    EXPECT_TRUE(Has(heard, "released"));

    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    EXPECT_EQ(own->get_accChildCount(&count), RPC_E_DISCONNECTED);
    EXPECT_EQ(own->get_accName(self, &name), RPC_E_DISCONNECTED);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(own->accDoDefaultAction(self), RPC_E_DISCONNECTED);
    own->Release();
}
