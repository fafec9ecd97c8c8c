// Runs against a server that misbehaves at random: each faulty run must end failed and honest with
// every listed file old or new and no side file left, and a clean run afterwards must converge.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "PatchTestSite.h"
#include "TestSupport.h"
#include "text/SizeText.h"

namespace {

std::string RandomBytes(size_t n, std::mt19937& gen) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

bool NoSideFileIn(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*.patch.tmp").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return true;
    FindClose(h);
    return false;
}

}  // namespace

TEST(Faults, RandomServerFaultsNeverLeaveAnythingInBetween) {
    std::mt19937 gen(4242);
    pt::Site site = pt::MakeSite("faults");
    const int kFiles = 4;
    std::vector<pt::Entry> clean;
    std::vector<std::string> old;
    for (int i = 0; i < kFiles; ++i) {
        clean.push_back({"f" + std::to_string(i) + ".bin", RandomBytes(150000 + 40000 * i, gen)});
        old.push_back(RandomBytes(1000 + i, gen));
    }
    const std::string cleanUrl = pt::Publish(site, "v", clean);
    std::wstring game = qt::FreshDir(L"faults");
    for (int i = 0; i < kFiles; ++i) qt::WriteBytes(game + L"\\" + qt::Wide(clean[i].path), old[i]);

    const std::vector<std::string> kinds = {"cut", "status500", "status503", "extra", "extra-open", "wrong",
                                            "drop", "stall", "short-announced"};
    const int rounds = pt::SoakRounds(12);
    for (int round = 0; round < rounds; ++round) {
        // One file of the list, chosen at random, is served with a random fault; the others plainly.
        std::vector<pt::Entry> faulty = clean;
        const int victim = std::uniform_int_distribution<int>(0, kFiles - 1)(gen);
        const std::string kind = kinds[std::uniform_int_distribution<size_t>(0, kinds.size() - 1)(gen)];
        const size_t len = clean[victim].content.size();
        const std::string offset = std::to_string(std::uniform_int_distribution<size_t>(0, len - 1)(gen));
        std::string fault;
        if (kind == "cut") fault = "cut/" + offset;
        else if (kind == "status500") fault = "status/500";
        else if (kind == "status503") fault = "status/503";
        else if (kind == "extra") fault = "extra/" + offset;
        else if (kind == "extra-open") fault = "extra-open/" + offset;
        else if (kind == "wrong") fault = "wrong";
        else if (kind == "drop") fault = "drop";
        else if (kind == "stall") fault = "stall/" + offset + "/1";
        if (kind == "short-announced") {
            faulty[victim].size = static_cast<int64_t>(len) + 1;  // the manifest promises more than is served
            faulty[victim].url = qt::FaultUrl("", "faults/files/" + clean[victim].path);
        } else {
            faulty[victim].url = qt::FaultUrl(fault, "faults/files/" + clean[victim].path);
        }
        qt::WriteBytes(site.root + L"\\faulty.json", pt::ManifestText("v", faulty, {}, {}, ""));

        pt::RunResult r = pt::RunInProcess(game, site.httpBase + "faulty.json");
        SCOPED_TRACE("round " + std::to_string(round) + ": " + kind + " on file " + std::to_string(victim));
        if (r.exitCode == 0) {
            // Only possible when the victim was already up to date from an earlier round.
            EXPECT_EQ(qt::ReadBytes(game + L"\\" + qt::Wide(clean[victim].path)), clean[victim].content);
        } else {
            EXPECT_EQ(r.status.headline, L"อัปเดตไม่สำเร็จ");
            EXPECT_FALSE(r.status.detail.empty());
            EXPECT_EQ(r.status.progress, 0);
            EXPECT_FALSE(r.ready);
        }
        for (int i = 0; i < kFiles; ++i) {
            const std::string now = qt::ReadBytes(game + L"\\" + qt::Wide(clean[i].path));
            EXPECT_TRUE(now == old[i] || now == clean[i].content) << clean[i].path << " is neither old nor new";
        }
        EXPECT_TRUE(NoSideFileIn(game));
        // Half of the rounds start again from the old files, so faults keep meeting real downloads.
        if (round % 2 == 1)
            for (int i = 0; i < kFiles; ++i) qt::WriteBytes(game + L"\\" + qt::Wide(clean[i].path), old[i]);
    }

    pt::RunResult healed = pt::RunInProcess(game, cleanUrl);
    EXPECT_EQ(healed.exitCode, 0) << qt::Utf8(healed.status.detail);
    for (int i = 0; i < kFiles; ++i)
        EXPECT_EQ(qt::ReadBytes(game + L"\\" + qt::Wide(clean[i].path)), clean[i].content) << clean[i].path;
}

TEST(Faults, AnEndlessOrHugeManifestIsRefusedWithoutExhaustingMemory) {
    std::wstring game = qt::FreshDir(L"faults-endless");
    pt::RunResult r = pt::RunInProcess(game, qt::FaultUrl("endless", "manifest.json"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.status.headline, L"เกิดข้อผิดพลาดในการเชื่อมต่อ");
    EXPECT_EQ(r.status.detail, L"ข้อมูลจากเซิร์ฟเวอร์มีขนาดใหญ่เกินกำหนด");
}

namespace {

// A game folder on the small disk with a player's option file and a 1 MiB big.bin; empty without one.
std::wstring SmallDiskGame(const std::string& option) {
    const std::string disk = qt::Env("QIRELL_TEST_SMALLDISK");
    if (disk.empty()) return {};
    std::wstring game = qt::UnixToWine(disk) + L"\\game";
    qt::RemoveTreeForTest(game);
    qt::MakeDirs(game + L"\\savedata");
    qt::WriteBytes(game + L"\\savedata\\OptionInfo.lua", option);
    qt::WriteBytes(game + L"\\savedata\\showname-v3.done", "");
    qt::WriteBytes(game + L"\\big.bin", std::string(1 << 20, 'o'));
    return game;
}

uint64_t FreeBytes(const std::wstring& dir) {
    ULARGE_INTEGER available{};
    EXPECT_TRUE(GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr));
    return available.QuadPart;
}

const char kOption[] = "OptionInfoList[\"BITPERPIXEL\"] = 32\r\n-- the player's own settings\r\n";

}  // namespace

TEST(Faults, AClearlyTooFullDiskFailsBeforeAnythingIsFetched) {
    const std::wstring game = SmallDiskGame(kOption);
    if (game.empty()) GTEST_SKIP() << "no small disk could be mounted for this test (needs tmpfs mounts)";
    std::mt19937 gen(7);
    pt::Site site = pt::MakeSite("fulldisk");
    // The 8 MiB disk holds about 7 MiB free; the list needs 4 bytes, then a 12 MiB side file beside them.
    std::vector<pt::Entry> entries = {{"small.bin", "fits"}, {"sub/big2.bin", "x"}, {"big.bin", RandomBytes(12u << 20, gen)}};
    const std::string url = pt::Publish(site, "full", entries);
    const uint64_t available = FreeBytes(game);
    pt::RunResult r = pt::RunInProcess(game, url);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(r.ready);
    EXPECT_EQ(r.status.headline, L"พื้นที่ดิสก์ไม่พอสำหรับการอัปเดต");
    EXPECT_EQ(r.status.detail,
              L"ต้องมีพื้นที่ว่างอย่างน้อย " + FormatSize((12u << 20) + 5) + L" แต่มีว่างอยู่เพียง " + FormatSize(available));
    EXPECT_EQ(qt::Utf8(FormatSize((12u << 20) + 5)), "12.0 MB");
    EXPECT_EQ(r.status.progress, 0);
    // Nothing changed: not the small file that would fit, not a folder, no side file.
    EXPECT_FALSE(qt::Exists(game + L"\\small.bin"));
    EXPECT_FALSE(qt::Exists(game + L"\\sub"));
    EXPECT_EQ(qt::ReadBytes(game + L"\\big.bin"), std::string(1 << 20, 'o'));
    EXPECT_TRUE(NoSideFileIn(game));
    EXPECT_EQ(qt::ReadBytes(game + L"\\savedata\\OptionInfo.lua"), kOption);
    EXPECT_EQ(FreeBytes(game), available);
    qt::RemoveTreeForTest(game);
}

TEST(Faults, ADiskThatFillsDuringTheDownloadFailsTheWriteAndLosesNothing) {
    const std::wstring game = SmallDiskGame(kOption);
    if (game.empty()) GTEST_SKIP() << "no small disk could be mounted for this test (needs tmpfs mounts)";
    std::mt19937 gen(8);
    pt::Site site = pt::MakeSite("fillingdisk");
    // Fits when the run starts; another program takes the rest while big.bin arrives (2 MiB/s).
    std::vector<pt::Entry> entries = {{"small.bin", "fits"}, {"big.bin", RandomBytes(4u << 20, gen)}};
    entries[1].url = qt::FaultUrl("slow/2000000", "fillingdisk/files/big.bin");
    const std::string url = pt::Publish(site, "filling", entries);
    const std::wstring filler = game + L"\\..\\filler.bin";
    std::thread other([&] {
        const std::wstring side = game + L"\\big.bin.patch.tmp";
        for (int i = 0; i < 2000 && !qt::Exists(side); ++i) Sleep(10);  // at most 20 s
        HANDLE h = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const std::string block(64 * 1024, 'f');
        DWORD written = 1;
        while (h != INVALID_HANDLE_VALUE && written &&
               WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written, nullptr)) {
        }
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    });
    pt::RunResult r = pt::RunInProcess(game, url);
    other.join();
    DeleteFileW(filler.c_str());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.status.headline, L"อัปเดตไม่สำเร็จ");
    EXPECT_EQ(r.status.detail, L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): big.bin");
    EXPECT_EQ(qt::ReadBytes(game + L"\\small.bin"), "fits");
    EXPECT_EQ(qt::ReadBytes(game + L"\\big.bin"), std::string(1 << 20, 'o'));
    EXPECT_TRUE(NoSideFileIn(game));
    EXPECT_EQ(qt::ReadBytes(game + L"\\savedata\\OptionInfo.lua"), kOption);
    qt::RemoveTreeForTest(game);
}
