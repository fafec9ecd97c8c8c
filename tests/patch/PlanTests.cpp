// The fetch plan: ways, connections and names worked out once; and the words for each failure code.
#include <gtest/gtest.h>

#include <windows.h>

#include "TestSupport.h"
#include "patch/Words.h"
#include "patch/Plan.h"

namespace {

ManifestFile Entry(const std::string& path, bool map) {
    ManifestFile f;
    f.path = path;
    f.url = "files/" + path;
    f.size = 10;
    if (map) f.map.url = "maps/" + path + ".map";
    return f;
}

TEST(Plan, WaysAndConnectionsDecidedOnce) {
    const std::wstring dir = qt::FreshDir(L"plan-ways");
    ASSERT_TRUE(qt::WriteBytes(dir + L"\\here.bin", "old"));
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(dir.c_str());
    using W = FetchWay;
    const struct Case {
        const char* what;
        unsigned connections;
        bool resume;
        std::vector<ManifestFile> files;
        unsigned plannedConnections;
        std::vector<FetchWay> ways;
    } cases[] = {
        {"one at a time", 1, false, {Entry("a.bin", false), Entry("b.bin", false)}, 1, {W::Whole, W::Whole}},
        {"resumed", 1, true, {Entry("a.bin", false)}, 1, {W::Resumed}},
        {"parallel", 4, true, {Entry("a.bin", false), Entry("b.bin", false)}, 4, {W::Resumed, W::Resumed}},
        {"a map with a local copy keeps the run serial", 4, false, {Entry("a.bin", false), Entry("here.bin", true)},
         1, {W::Whole, W::Assembled}},
        // An earlier file of the run may still leave the copy a later one is assembled from.
        {"a map without a local copy, serial", 1, true, {Entry("a.bin", true)}, 1, {W::Assembled}},
        {"a map without a local copy, parallel", 4, false, {Entry("a.bin", true), Entry("b.bin", false)}, 4,
         {W::Whole, W::Whole}},
        {"files that meet on disk", 4, false, {Entry("a.bin", false), Entry("A.BIN", false)}, 1, {W::Whole, W::Whole}},
    };
    for (const Case& c : cases) {
        PatchManifest m;
        m.connections = c.connections;
        m.resume = c.resume;
        const FetchPlan plan = BuildPlan(m, c.files, L"http://h/dir/manifest.json", L"Patcher.exe");
        EXPECT_EQ(plan.connections, c.plannedConnections) << c.what;
        ASSERT_EQ(plan.files.size(), c.ways.size()) << c.what;
        for (size_t i = 0; i < c.ways.size(); ++i) EXPECT_EQ(plan.files[i].way, c.ways[i]) << c.what << " " << i;
    }
    SetCurrentDirectoryW(previous);
}

TEST(Plan, PathsAddressesAndTheOwnExecutable) {
    std::vector<ManifestFile> files = {Entry("data/x.bin", true), Entry("patcher.EXE", false)};
    const FetchPlan plan = BuildPlan(PatchManifest{}, files, L"http://h/dir/manifest.json", L"Patcher.exe");
    ASSERT_EQ(plan.files.size(), 2u);
    const PlannedFile& x = plan.files[0];
    EXPECT_EQ(x.localPath, L"data\\x.bin");
    EXPECT_EQ(x.sidePath, L"data\\x.bin.patch.tmp");
    EXPECT_EQ(x.displayName, L"data\\x.bin");
    EXPECT_EQ(x.fileUrl, L"http://h/dir/files/data/x.bin");
    EXPECT_EQ(x.mapUrl, L"http://h/dir/maps/data/x.bin.map");
    EXPECT_FALSE(x.ownExecutable);
    EXPECT_TRUE(plan.files[1].mapUrl.empty());
    EXPECT_TRUE(plan.files[1].ownExecutable);
}

TEST(FetchWords, EachCodeInThePlayersWords) {
    PlannedFile file;
    file.displayName = L"data\\a.bin";
    file.sidePath = L"data\\a.bin.patch.tmp";
    using C = FetchCode;
    const struct Case {
        FetchCode code;
        uint32_t status;
        std::wstring detail;
    } cases[] = {
        {C::BadUrl, 0, L"URL ไฟล์ไม่ถูกต้อง: data\\a.bin"},
        {C::NoConnection, 0, L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่ได้"},
        {C::NoRequest, 0, L"สร้างคำขอดาวน์โหลดไม่สำเร็จ"},
        {C::NoSideFile, 0, L"สร้างไฟล์ชั่วคราวไม่ได้: data\\a.bin.patch.tmp"},
        {C::NoMemory, 0, L"หน่วยความจำไม่พอสำหรับดาวน์โหลด data\\a.bin"},
        {C::Cancelled, 0, L"ยกเลิกการดาวน์โหลด data\\a.bin"},
        {C::ConnectionLost, 0, L"การเชื่อมต่อขาดหายขณะดาวน์โหลด data\\a.bin"},
        {C::HttpStatus, 404, L"ดาวน์โหลด data\\a.bin ไม่สำเร็จ (HTTP 404)"},
        {C::WrongSize, 0, L"ขนาดไฟล์ที่ดาวน์โหลดไม่ตรง (data\\a.bin)"},
        {C::WriteFailed, 0, L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): data\\a.bin"},
        {C::HashFailed, 0, L"คำนวณ SHA-256 ไม่สำเร็จ"},
        {C::WrongDigest, 0, L"ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: data\\a.bin"},
    };
    for (const Case& c : cases) {
        const Words words = FetchFailureWords({c.code, c.status}, file);
        EXPECT_EQ(words.headline, L"อัปเดตไม่สำเร็จ");
        EXPECT_EQ(words.detail, c.detail) << static_cast<int>(c.code);
    }
    // A long name is shown whole.
    file.displayName = std::wstring(150, L'ก') + L"\\" + std::wstring(100, L'n') + L".bin";
    EXPECT_EQ(FetchFailureWords({C::HttpStatus, 404}, file).detail,
              L"ดาวน์โหลด " + file.displayName + L" ไม่สำเร็จ (HTTP 404)");
}

}  // namespace
