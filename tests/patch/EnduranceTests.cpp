// One program instance through many runs: its handle count and private memory must stay flat, and a
// very large up-to-date manifest must end ready with the window answering all along.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include "PatchTestSite.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "UiDriver.h"

namespace {

constexpr int kMain = 201;

struct Sample {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

Sample Measure(HANDLE process) {
    Sample s;
    GetProcessHandleCount(process, &s.handles);
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc))
        s.privateBytes = pmc.PrivateUsage;
    return s;
}

bool IsRetry(const qt::Button& b) { return b.enabled && b.text == L"ลองใหม่ (Retry)"; }
bool IsStartGame(const qt::Button& b) { return b.enabled && b.text == L"เริ่มเกม (Start Game)"; }

std::wstring GameFolder(const std::wstring& name) {
    std::wstring dir = qt::FreshDir(name);
    CopyFileW((qt::BinaryDir() + L"\\QirellPatcher.exe").c_str(), (dir + L"\\QirellPatcher.exe").c_str(), FALSE);
    qt::WriteBytes(dir + L"\\data.qpa", "qpa");
    return dir;
}

// Clicks Retry rounds times, calling before(round) ahead of each click; samples ten times along the
// way and after the last round, whatever the count. A round ends when the server has seen the new
// run's manifest request and the window offers Retry again.
std::vector<Sample> RetryRounds(HANDLE process, HWND w, int rounds, void (*before)(int), const std::string& manifest) {
    std::vector<Sample> samples;
    const int every = std::max(1, rounds / 10);
    const qt::LogMark mark = qt::MarkLogs();
    size_t seen = 0;
    for (int round = 0; round < rounds; ++round) {
        qt::Button b = qt::WaitForButton(w, kMain, IsRetry, 20000);
        if (!IsRetry(b)) {
            ADD_FAILURE() << "round " << round << ": the window did not offer Retry (" << qt::Utf8(b.text) << ")";
            break;
        }
        if (round % every == 0) samples.push_back(Measure(process));
        if (before) before(round);
        qt::ClickButton(w, kMain);
        for (int i = 0; i < 1000 && qt::RequestsFor(mark, manifest).size() <= seen; ++i) Sleep(10);
        seen = qt::RequestsFor(mark, manifest).size();
        if (seen < static_cast<size_t>(round) + 1) {
            ADD_FAILURE() << "round " << round << ": Retry started no run";
            break;
        }
    }
    if (IsRetry(qt::WaitForButton(w, kMain, IsRetry, 20000))) samples.push_back(Measure(process));
    return samples;
}

void ExpectFlat(const std::vector<Sample>& samples, const char* what) {
    ASSERT_GE(samples.size(), 3u) << what;
    // The first rounds warm up caches and the TLS stack; growth is judged after them.
    const Sample& first = samples[1];
    const Sample& last = samples.back();
    EXPECT_LE(last.handles, first.handles + 10) << what << ": handles " << first.handles << " -> " << last.handles;
    EXPECT_LE(last.privateBytes, first.privateBytes + (6u << 20))
        << what << ": private bytes " << first.privateBytes << " -> " << last.privateBytes;
}

pt::Site gSite;
std::wstring gGame;

void PublishCycle(int round) {
    // A new a.bin each round is really downloaded and swapped in; b.bin is missing, so the run fails.
    std::vector<pt::Entry> entries = {{"a.bin", "cycle " + std::to_string(round) + std::string(20000, 'x')},
                                      {"b.bin", "never served", "", "", -1, false}};
    pt::Publish(gSite, "cycle", entries);
}

}  // namespace

TEST(Endurance, RetryRoundsAndUpdateCyclesKeepHandlesAndMemoryFlat) {
    // A handle or a few KiB lost per round already show after 80 rounds; make soak runs more.
    const int rounds = pt::SoakRounds(0) > 0 ? std::max(pt::SoakRounds(0), 200) : 80;
    std::wstring game = GameFolder(L"endurance");
    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe",
                                L"--url " + qt::Wide(qt::FaultUrl("status/500", "endurance/manifest.json")), game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    ExpectFlat(RetryRounds(h, w, rounds, nullptr, "endurance/manifest.json"), "failing server");
    PostMessageW(w, WM_CLOSE, 0, 0);
    WaitForSingleObject(h, 20000);
    CloseHandle(h);

    gSite = pt::MakeSite("endurance-cycles");
    PublishCycle(-1);
    gGame = GameFolder(L"endurance-cycles");
    h = qt::StartProcess(gGame + L"\\QirellPatcher.exe", L"--url " + qt::Wide(gSite.httpBase + "manifest.json"), gGame,
                         &pid);
    w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    ExpectFlat(RetryRounds(h, w, rounds, PublishCycle, "endurance-cycles/manifest.json"), "update cycles");
    qt::WaitForButton(w, kMain, IsRetry, 20000);
    EXPECT_EQ(qt::ReadBytes(gGame + L"\\a.bin").rfind("cycle " + std::to_string(rounds - 1) + "x", 0), 0u);
    PostMessageW(w, WM_CLOSE, 0, 0);
    WaitForSingleObject(h, 20000);
    CloseHandle(h);
}

TEST(Endurance, AHugeUpToDateManifestEndsReadyWithTheWindowAnswering) {
    // make soak checks 100,000 files or more; make test a quarter of that, which still keeps the check
    // busy for many seconds while the window is probed.
    const int files = pt::SoakRounds(0) > 0 ? std::max(pt::SoakRounds(0) * 500, 100000) : 25000;
    pt::Site site = pt::MakeSite("endurance-huge");
    std::wstring game = GameFolder(L"endurance-huge");
    const std::string digest = qt::Sha256Hex("x");
    std::string json = "{\"version\": \"huge\", \"files\": [";
    for (int i = 0; i < files; ++i) {
        const std::string dir = "d" + std::to_string(i / 1000);
        if (i % 1000 == 0) CreateDirectoryW((game + L"\\" + qt::Wide(dir)).c_str(), nullptr);
        const std::string path = dir + "/f" + std::to_string(i);
        qt::WriteBytes(game + L"\\" + qt::Wide(dir) + L"\\f" + std::to_wstring(i), "x");
        json += std::string(i ? "," : "") + "{\"path\":\"" + path + "\",\"size\":1,\"sha256\":\"" + digest + "\"}";
    }
    json += "]}";
    qt::WriteBytes(site.root + L"\\manifest.json", json);

    DWORD pid = 0;
    HANDLE h = qt::StartProcess(game + L"\\QirellPatcher.exe", L"--url " + qt::Wide(site.httpBase + "manifest.json"),
                                game, &pid);
    HWND w = qt::WaitForMainWindow(pid, 20000);
    ASSERT_NE(w, nullptr);
    // The window answers all along. How fast it answers is measured by make bench; the bound here is
    // generous enough that only a hang misses it.
    int answered = 0, unanswered = 0;
    const ULONGLONG end = GetTickCount64() + 600000;
    while (!IsStartGame(qt::GetButton(w, kMain)) && GetTickCount64() < end) {
        DWORD_PTR ignored = 0;
        if (SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &ignored))
            ++answered;
        else
            ++unanswered;
        Sleep(100);
    }
    EXPECT_TRUE(IsStartGame(qt::GetButton(w, kMain)));
    EXPECT_GT(answered, 0);
    EXPECT_EQ(unanswered, 0) << "the window did not answer within two minutes " << unanswered << " times";
    PostMessageW(w, WM_CLOSE, 0, 0);
    DWORD code = 99;
    WaitForSingleObject(h, 20000);
    GetExitCodeProcess(h, &code);
    CloseHandle(h);
    EXPECT_EQ(code, 0u);
}
