// Runs against a server that misbehaves at random: each faulty run must end failed and honest with
// every listed file old or new and no side file left, and a clean run afterwards must converge.
#include <gtest/gtest.h>

#include <random>

#include "PatchTestSite.h"
#include "TestSupport.h"

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

TEST(Faults, AFullDiskFailsTheWriteAndLosesNothing) {
    const std::string disk = qt::Env("QIRELL_TEST_SMALLDISK");
    if (disk.empty()) GTEST_SKIP() << "no small disk could be mounted for this test (needs tmpfs mounts)";
    std::wstring game = qt::UnixToWine(disk) + L"\\game";
    qt::RemoveTreeForTest(game);
    qt::MakeDirs(game + L"\\savedata");
    const std::string option = "OptionInfoList[\"BITPERPIXEL\"] = 32\r\n-- the player's own settings\r\n";
    qt::WriteBytes(game + L"\\savedata\\OptionInfo.lua", option);
    qt::WriteBytes(game + L"\\savedata\\showname-v3.done", "");
    const std::string oldBig(1 << 20, 'o');
    qt::WriteBytes(game + L"\\big.bin", oldBig);

    std::mt19937 gen(7);
    pt::Site site = pt::MakeSite("fulldisk");
    std::vector<pt::Entry> entries = {{"small.bin", "fits"}, {"big.bin", RandomBytes(12u << 20, gen)}};
    const std::string url = pt::Publish(site, "full", entries);
    pt::RunResult r = pt::RunInProcess(game, url);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.status.headline, L"อัปเดตไม่สำเร็จ");
    EXPECT_EQ(r.status.detail, L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): big.bin");
    EXPECT_EQ(qt::ReadBytes(game + L"\\small.bin"), "fits");
    EXPECT_EQ(qt::ReadBytes(game + L"\\big.bin"), oldBig);
    EXPECT_FALSE(qt::Exists(game + L"\\big.bin.patch.tmp"));
    EXPECT_EQ(qt::ReadBytes(game + L"\\savedata\\OptionInfo.lua"), option);
    qt::RemoveTreeForTest(game);
}
