#include <gtest/gtest.h>

#include "TestSupport.h"
#include "client/OptionFile.h"

namespace {

// The default file spelled out line by line, independently of the code that builds it.
const char* const kExpectedDefault[] = {
    "CmdOnOffList[\"/notrade\"] = 0", "CmdOnOffList[\"/noshift\"] = 0", "CmdOnOffList[\"/noctrl\"] = 1",
    "CmdOnOffList[\"/skillfail\"] = 1", "CmdOnOffList[\"/notalkmsg\"] = 0", "CmdOnOffList[\"/notalkmsg2\"] = 0",
    "CmdOnOffList[\"/showname\"] = 0", "CmdOnOffList[\"/fog\"] = 1", "CmdOnOffList[\"/aura\"] = 1",
    "CmdOnOffList[\"/aura2\"] = 0", "CmdOnOffList[\"/window\"] = 0", "CmdOnOffList[\"/miss\"] = 1",
    "CmdOnOffList[\"/q1\"] = 0", "CmdOnOffList[\"/q2\"] = 0", "CmdOnOffList[\"/effect\"] = 1",
    "CmdOnOffList[\"/bgm\"] = 1", "CmdOnOffList[\"/sound\"] = 1", "CmdOnOffList[\"/loginout\"] = 1",
    "CmdOnOffList[\"/shopping\"] = 0", "CmdOnOffList[\"/stateinfo\"] = 1", "CmdOnOffList[\"/snap\"] = 0",
    "CmdOnOffList[\"/itemsnap\"] = 0", "CmdOnOffList[\"/skillsnap\"] = 1", "CmdOnOffList[\"/hoai\"] = 0",
    "CmdOnOffList[\"/merai\"] = 0", "CmdOnOffList[\"/camera\"] = 0", "CmdOnOffList[\"/lightmap\"] = 1",
    "CmdOnOffList[\"/monsterhp\"] = 1", "CmdOnOffList[\"/cashshop\"] = 1", "CmdOnOffList[\"/goldpc\"] = 1",
    "CmdOnOffList[\"/roulette\"] = 1", "CmdOnOffList[\"/quake\"] = 1", "CmdOnOffList[\"/minimap\"] = 1",
    "CmdOnOffList[\"/mineffect\"] = 0", "CmdOnOffList[\"/mable\"] = 1", "CmdOnOffList[\"/zoom\"] = 0",
    "",
    "OptionInfoList[\"Trilinear\"] = 0", "OptionInfoList[\"Bgm_Volume\"] = 100",
    "OptionInfoList[\"Effect_Volume\"] = 64", "OptionInfoList[\"AutoOpen1to1Window\"] = 1",
    "OptionInfoList[\"AutoOpen1to1Window_Friend\"] = 1", "OptionInfoList[\"PlaySound_Open1to1Window\"] = 1",
    "OptionInfoList[\"Outdoor_ViewLatitude\"] = -65.000000", "OptionInfoList[\"Outdoor_ViewDistance\"] = 400.000000",
    "OptionInfoList[\"Indoor_ViewLatitude\"] = -45.000000", "OptionInfoList[\"Indoor_ViewDistance\"] = 300.000000",
    "OptionInfoList[\"SkinName\"] = \"<Basic Skin>\"", "OptionInfoList[\"ChannelCopID\"] = 0",
    "OptionInfoList[\"Window_XPos\"] = 160", "OptionInfoList[\"Window_YPos\"] = 90",
    "OptionInfoList[\"Simplicity_SkillList\"] = 0", "OptionInfoList[\"Show_SkillDescript\"] = 1",
    "OptionInfoList[\"ChangeChatMode\"] = 1", "OptionInfoList[\"LockMouse\"] = 0",
    "OptionInfoList[\"ShowBattleFieldIcon\"] = 1", "OptionInfoList[\"MouseExclusive\"] = 0",
    "OptionInfoList[\"ISFULLSCREENMODE\"] = 0", "OptionInfoList[\"WIDTH\"] = 1600", "OptionInfoList[\"HEIGHT\"] = 900",
    "OptionInfoList[\"OLD_WIDTH\"] = 1600", "OptionInfoList[\"OLD_HEIGHT\"] = 900",
    "OptionInfoList[\"BITPERPIXEL\"] = 32", "OptionInfoList[\"DEVICECNT\"] = 0", "OptionInfoList[\"MODECNT\"] = 11",
    "OptionInfoList[\"SPRITEMODE\"] = 2", "OptionInfoList[\"TEXTUREMODE\"] = 2",
    "OptionInfoList[\"bLockItemDropFromItemWnd\"] = 0", "OptionInfoList[\"bWarningPriceCheck\"] = 0",
    "OptionInfoList[\"bSoundEffectInItemSellWnd\"] = 0", "OptionInfoList[\"bGuildMemberListSort\"] = 1",
    "OptionInfoList[\"bBlockPrivateTab\"] = 0", "OptionInfoList[\"bShowMenuIcon\"] = 0",
    "OptionInfoList[\"bItemDefaultSort\"] = 1", "OptionInfoList[\"bItemAscendingOrder\"] = 0",
    "OptionInfoList[\"bItemDescendingOrder\"] = 0", "OptionInfoList[\"/zoom\"] = 0",
    "OptionInfoList[\"Emblem Frame\"] = 0", "OptionInfoList[\"bExtendDamage\"] = 1",
    "OptionInfoList[\"bShowMapName\"] = 1",
};

std::string ExpectedDefault() {
    std::string s;
    for (const char* line : kExpectedDefault) s += std::string(line) + "\r\n";
    return s;
}

const std::string kDepth16 = "OptionInfoList[\"BITPERPIXEL\"] = 16";
const std::string kModes0 = "OptionInfoList[\"MODECNT\"] = 0";
const std::string kShow1 = "CmdOnOffList[\"/showname\"] = 1";

}  // namespace

TEST(DefaultOptionFile, IsTheEightyLineFileByteForByte) {
    ASSERT_EQ(std::size(kExpectedDefault), 80u);
    EXPECT_EQ(DefaultOptionFile().size(), 2775u);
    EXPECT_EQ(DefaultOptionFile(), ExpectedDefault());
}

TEST(RepairOptionText, RepairsOnlyWhatItsConditionsAllow) {
    struct Case {
        std::string in;
        bool marker;
        std::string out;
    };
    const Case cases[] = {
        {kDepth16 + "\r\nx", true, "OptionInfoList[\"BITPERPIXEL\"] = 32\r\nx"},
        {kDepth16 + "\nx", true, "OptionInfoList[\"BITPERPIXEL\"] = 32\nx"},
        {kDepth16 + "0\r\n", true, "OptionInfoList[\"BITPERPIXEL\"] = 320\r\n"},  // no end-of-line test here
        {kModes0, true, "OptionInfoList[\"MODECNT\"] = 11"},
        {"a\n" + kModes0 + "\r\nb", true, "a\nOptionInfoList[\"MODECNT\"] = 11\r\nb"},
        {kModes0 + "5\r\n", true, kModes0 + "5\r\n"},
        {kModes0 + "5\n" + kModes0 + "\n", true, kModes0 + "5\n" + kModes0 + "\n"},  // only the first counts
        {kShow1 + "\r\n", false, "CmdOnOffList[\"/showname\"] = 0\r\n"},
        {kShow1, false, "CmdOnOffList[\"/showname\"] = 0"},
        {kShow1 + "\r\n", true, kShow1 + "\r\n"},
        {kShow1 + "0\r\n", false, kShow1 + "0\r\n"},
        {"nothing to see", false, "nothing to see"},
        {kDepth16 + "\n" + kModes0 + "\n" + kShow1 + "\n", false,
         "OptionInfoList[\"BITPERPIXEL\"] = 32\nOptionInfoList[\"MODECNT\"] = 11\nCmdOnOffList[\"/showname\"] = 0\n"},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        const bool changed = RepairOptionText(text, c.marker);
        EXPECT_EQ(text, c.out) << c.in;
        EXPECT_EQ(changed, c.in != c.out) << c.in;
    }
}

namespace {

struct InFolder {
    std::wstring dir;
    wchar_t previous[MAX_PATH] = {};
    explicit InFolder(const std::wstring& name) : dir(qt::FreshDir(name)) {
        GetCurrentDirectoryW(MAX_PATH, previous);
        SetCurrentDirectoryW(dir.c_str());
    }
    ~InFolder() { SetCurrentDirectoryW(previous); }
    std::wstring Option() const { return dir + L"\\savedata\\OptionInfo.lua"; }
    std::wstring Marker() const { return dir + L"\\savedata\\showname-v3.done"; }
};

}  // namespace

TEST(FixOptionFile, CreatesTheDefaultFileAndTheMarker) {
    InFolder f(L"option-default");
    FixOptionFile();
    EXPECT_EQ(qt::ReadBytes(f.Option()), ExpectedDefault());
    EXPECT_TRUE(qt::Exists(f.Marker()));
    EXPECT_EQ(qt::SizeOf(f.Marker()), 0u);
    EXPECT_FALSE(qt::Exists(f.Option() + L".patch.tmp"));
}

TEST(FixOptionFile, LeavesFilesOutsideOneTo65535BytesAlone) {
    for (size_t size : {size_t(0), size_t(65536), size_t(70000)}) {
        InFolder f(L"option-size");
        qt::MakeDirs(f.dir + L"\\savedata");
        const std::string content = size ? kShow1 + std::string(size - kShow1.size(), '\n') : std::string();
        qt::WriteBytes(f.Option(), content);
        FixOptionFile();
        EXPECT_EQ(qt::ReadBytes(f.Option()), content) << size;
        EXPECT_FALSE(qt::Exists(f.Marker())) << size;
    }
}

TEST(FixOptionFile, RepairsInPlaceAndTheNameRepairHappensOnce) {
    InFolder f(L"option-repair");
    qt::MakeDirs(f.dir + L"\\savedata");
    qt::WriteBytes(f.Option(), kDepth16 + "\r\n" + kModes0 + "\r\n" + kShow1 + "\r\n");
    FixOptionFile();
    EXPECT_EQ(qt::ReadBytes(f.Option()), "OptionInfoList[\"BITPERPIXEL\"] = 32\r\nOptionInfoList[\"MODECNT\"] = 11\r\n"
                                         "CmdOnOffList[\"/showname\"] = 0\r\n");
    EXPECT_TRUE(qt::Exists(f.Marker()));
    // The player turns names back on: with the marker there it stays on.
    qt::WriteBytes(f.Option(), kShow1 + "\r\n");
    FixOptionFile();
    EXPECT_EQ(qt::ReadBytes(f.Option()), kShow1 + "\r\n");
}

TEST(FixOptionFile, NothingToRepairWritesNothingButMakesTheMarker) {
    InFolder f(L"option-untouched");
    qt::MakeDirs(f.dir + L"\\savedata");
    qt::WriteBytes(f.Option(), "-- my settings\r\n");
    HANDLE h = CreateFileW(f.Option().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME before = {};
    GetFileTime(h, nullptr, nullptr, &before);
    CloseHandle(h);
    Sleep(20);
    FixOptionFile();
    h = CreateFileW(f.Option().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME after = {};
    GetFileTime(h, nullptr, nullptr, &after);
    CloseHandle(h);
    EXPECT_EQ(CompareFileTime(&before, &after), 0);
    EXPECT_TRUE(qt::Exists(f.Marker()));
}

TEST(FixOptionFile, AFailedWriteLeavesTheOldFileWhole) {
    InFolder f(L"option-failwrite");
    qt::MakeDirs(f.dir + L"\\savedata");
    const std::string old = kDepth16 + "\r\nrest of the player's file\r\n";
    qt::WriteBytes(f.Option(), old);
    // The side file's name is taken by a folder, so the repaired text can't be written.
    qt::MakeDirs(f.dir + L"\\savedata\\OptionInfo.lua.patch.tmp");
    FixOptionFile();
    EXPECT_EQ(qt::ReadBytes(f.Option()), old);
}
