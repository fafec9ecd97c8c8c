// The real program killed at random moments of a multi-file update, itself included: every listed
// file must hold its old bytes or its verified new bytes, and the next run must converge.
#include <gtest/gtest.h>

#include <random>

#include "PatchTestSite.h"
#include "TestSupport.h"

namespace {

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

std::wstring Exe() { return qt::BinaryDir() + L"\\QirellPatcher.exe"; }

}  // namespace

TEST(Kill, EveryFileIsOldOrNewAfterAKillAndTheNextRunConverges) {
    const std::string exeBytes = qt::ReadBytes(Exe());
    ASSERT_FALSE(exeBytes.empty()) << "build the program first";

    std::vector<pt::Entry> entries;
    std::vector<std::string> oldBytes;
    for (int i = 0; i < 5; ++i) {
        entries.push_back({"pack/p" + std::to_string(i) + ".bin", RandomBytes(6u << 20, 100 + i)});
        oldBytes.push_back(RandomBytes(1u << 20, 200 + i));
    }
    // PE files tolerate trailing bytes, so old and new builds of the program differ only there.
    entries.push_back({"QirellPatcher.exe", exeBytes + RandomBytes(4096, 7)});
    oldBytes.push_back(exeBytes + RandomBytes(64, 8));
    pt::Site site = pt::MakeSite("kill");
    const std::string url = pt::Publish(site, "k", entries);

    std::mt19937 gen(20261209);
    std::uniform_int_distribution<int> when(30, 1500);
    const int rounds = pt::SoakRounds(6);
    for (int round = 0; round < rounds; ++round) {
        std::wstring game = qt::FreshDir(L"kill-" + std::to_wstring(round));
        qt::MakeDirs(game + L"\\pack");
        qt::WriteBytes(game + L"\\data.qpa", "qpa");
        for (size_t i = 0; i < entries.size(); ++i)
            qt::WriteBytes(game + L"\\" + qt::Wide(entries[i].path), oldBytes[i]);

        DWORD pid = 0;
        const std::wstring exe = game + L"\\QirellPatcher.exe";
        HANDLE h = qt::StartProcess(exe, L"--auto-close --url " + qt::Wide(url), game, &pid);
        ASSERT_NE(h, nullptr);
        const int delay = when(gen);
        if (WaitForSingleObject(h, delay) == WAIT_TIMEOUT) TerminateProcess(h, 77);
        WaitForSingleObject(h, 10000);
        CloseHandle(h);

        for (size_t i = 0; i < entries.size(); ++i) {
            std::wstring path = game + L"\\" + qt::Wide(entries[i].path);
            for (auto& c : path)
                if (c == L'/') c = L'\\';
            const std::string now = qt::ReadBytes(path);
            EXPECT_TRUE(now == oldBytes[i] || now == entries[i].content)
                << entries[i].path << " holds neither its old nor its new bytes (round " << round << ", killed after "
                << delay << " ms)";
        }

        // Nothing could ever bring a lost patcher back: the folder must always have one.
        if (!qt::Exists(exe)) {
            ADD_FAILURE() << "killed after " << delay << " ms, round " << round << ": no QirellPatcher.exe left";
            continue;
        }
        qt::ProcessResult again = qt::RunProcess(exe, L"--auto-close --url " + qt::Wide(url), game, 120000);
        ASSERT_TRUE(again.started);
        EXPECT_EQ(again.exitCode, 0u) << "round " << round;
        for (size_t i = 0; i < entries.size(); ++i) {
            std::wstring path = game + L"\\" + qt::Wide(entries[i].path);
            for (auto& c : path)
                if (c == L'/') c = L'\\';
            EXPECT_EQ(qt::Sha256Hex(qt::ReadBytes(path)), qt::Sha256Hex(entries[i].content))
                << entries[i].path << " round " << round;
        }
    }
}
