#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestServers.h"
#include "TestSupport.h"
#include "base/StatusBoard.h"
#include "fetch/Download.h"

namespace {

struct Outcome {
    bool ok = false;
    std::wstring failure = L"untouched";
    uint64_t bytesDone = 0;
};

Outcome Download(const std::string& url, const std::wstring& temp, const std::wstring& name, uint64_t size,
                 const std::string& sha, uint64_t bytesTotal) {
    Outcome o;
    o.ok = DownloadVerifiedFile(qt::Wide(url), temp, name, size, sha, o.bytesDone, bytesTotal, o.failure);
    return o;
}

const std::string kBody = qt::Pattern(200000, 1);

class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qt::PublishFile("dl/body.bin", kBody));
        ASSERT_TRUE(qt::PublishFile("dl/empty.bin", ""));
        dir = qt::FreshDir(L"transfer-download");
        temp = dir + L"\\body.bin.patch.tmp";
    }
    std::wstring dir, temp;
};

TEST_F(Downloads, OutcomesByAnswer) {
    const std::string sha = qt::Sha256Hex(kBody);
    const std::wstring name = L"data\\body.bin";
    const std::string sizeText = "ขนาดไฟล์ที่ดาวน์โหลดไม่ตรง (data\\body.bin)";
    struct Case {
        std::string url;
        uint64_t size;
        std::string sha;
        bool ok;
        std::string failure;
    } cases[] = {
        {qt::HttpUrl("dl/body.bin"), kBody.size(), sha, true, "untouched"},
        {qt::HttpsUrl("dl/body.bin?v=2"), kBody.size(), sha, true, "untouched"},
        {qt::HttpUrl("dl/body.bin"), kBody.size(), qt::Sha256Hex("other"), false,
         "ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: data\\body.bin"},
        {qt::FaultUrl("wrong", "dl/body.bin"), kBody.size(), sha, false,
         "ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: data\\body.bin"},
        {qt::HttpUrl("dl/body.bin"), kBody.size() - 1000, sha, false, sizeText},
        // Bytes after the announced length are not part of the body.
        {qt::FaultUrl("extra/5000", "dl/body.bin"), kBody.size(), sha, true, "untouched"},
        {qt::FaultUrl("extra-open/5000", "dl/body.bin"), kBody.size(), sha, false, sizeText},
        {qt::FaultUrl("cut/70000", "dl/body.bin"), kBody.size(), sha, false, sizeText},
        {qt::HttpUrl("dl/none.bin"), 1, sha, false, "ดาวน์โหลด data\\body.bin ไม่สำเร็จ (HTTP 404)"},
        {qt::FaultUrl("status/503", "dl/body.bin"), 1, sha, false, "ดาวน์โหลด data\\body.bin ไม่สำเร็จ (HTTP 503)"},
        {qt::FaultUrl("drop", "dl/body.bin"), 1, sha, false, "การเชื่อมต่อขาดหายขณะดาวน์โหลด data\\body.bin"},
        {"::bad::", 1, sha, false, "URL ไฟล์ไม่ถูกต้อง: data\\body.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " size " + std::to_string(c.size));
        qt::WriteBytes(temp, "stale side file");
        const Outcome o = Download(c.url, temp, name, c.size, c.sha, c.size);
        EXPECT_EQ(o.ok, c.ok);
        EXPECT_EQ(qt::Utf8(o.failure), c.failure);
        if (c.ok) {
            EXPECT_EQ(qt::ReadBytes(temp), kBody);
        } else if (c.url != "::bad::") {
            EXPECT_FALSE(qt::Exists(temp)) << "side file left behind";
        }
    }
}

TEST_F(Downloads, OversizedBodyNeverGrowsTheSideFile) {
    // 5 MB more than announced: watch the side file while it downloads.
    ASSERT_TRUE(qt::PublishFile("dl/big.bin", qt::Pattern(6 << 20, 3)));
    const uint64_t expected = 1 << 20;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> largest{0};
    std::thread watch([&] {
        for (int i = 0; i < 3000 && !done; ++i) {
            const uint64_t now = qt::SizeOf(temp);
            if (now > largest) largest = now;
            Sleep(1);
        }
    });
    const Outcome o = Download(qt::FaultUrl("extra-open/0", "dl/big.bin"), temp, L"big.bin", expected,
                               qt::Sha256Hex("x"), expected);
    done = true;
    watch.join();
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(qt::Utf8(o.failure), "ขนาดไฟล์ที่ดาวน์โหลดไม่ตรง (big.bin)");
    EXPECT_FALSE(qt::Exists(temp));
    EXPECT_LE(largest.load(), expected + 65536);
    EXPECT_LE(o.bytesDone, expected);
}

TEST_F(Downloads, EmptyFilePublishesNothing) {
    UpdateStatus(L"marker", L"marker detail", 7);
    const Outcome good = Download(qt::HttpUrl("dl/empty.bin"), temp, L"empty.bin", 0, qt::Sha256Hex(""), 0);
    EXPECT_TRUE(good.ok) << qt::Utf8(good.failure);
    EXPECT_TRUE(qt::Exists(temp));
    EXPECT_EQ(qt::SizeOf(temp), 0u);
    const StatusSnapshot s = ReadStatus();
    EXPECT_EQ(s.headline, L"marker");
    EXPECT_EQ(s.progress, 7);
    const Outcome bad = Download(qt::HttpUrl("dl/empty.bin"), temp, L"empty.bin", 0, qt::Sha256Hex("z"), 0);
    EXPECT_EQ(qt::Utf8(bad.failure), "ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: empty.bin");
}

TEST_F(Downloads, ProgressEndsWithEqualSizesAndRunTotals) {
    // Two files of one run: the counter carries over, the last chunk is always shown.
    uint64_t bytesDone = 0;
    std::wstring failure;
    const uint64_t total = kBody.size() * 4;
    ASSERT_TRUE(DownloadVerifiedFile(qt::Wide(qt::HttpUrl("dl/body.bin")), temp, L"a.bin", kBody.size(),
                                     qt::Sha256Hex(kBody), bytesDone, total, failure));
    ASSERT_TRUE(DownloadVerifiedFile(qt::Wide(qt::HttpUrl("dl/body.bin")), temp, L"b.bin", kBody.size(),
                                     qt::Sha256Hex(kBody), bytesDone, total, failure));
    EXPECT_EQ(bytesDone, kBody.size() * 2);
    StatusSnapshot s = ReadStatus();
    EXPECT_EQ(s.headline, L"กำลังดาวน์โหลดอัปเดต...");
    EXPECT_EQ(qt::Utf8(s.detail), "กำลังดาวน์โหลด b.bin (195.3 KB / 195.3 KB)");
    EXPECT_EQ(s.progress, 500);

    uint64_t none = 0;
    ASSERT_TRUE(DownloadVerifiedFile(qt::Wide(qt::HttpUrl("dl/body.bin")), temp, L"c.bin", kBody.size(),
                                     qt::Sha256Hex(kBody), none, 0, failure));
    EXPECT_EQ(ReadStatus().progress, 1000);
}

TEST_F(Downloads, LongNamesStayWhole) {
    const std::wstring name = std::wstring(150, L'ก') + L"\\" + std::wstring(100, L'n') + L".bin";
    const Outcome o404 = Download(qt::HttpUrl("dl/none.bin"), temp, name, 1, "", 1);
    EXPECT_EQ(o404.failure, L"ดาวน์โหลด " + name + L" ไม่สำเร็จ (HTTP 404)");
    const Outcome ok = Download(qt::HttpUrl("dl/body.bin"), temp, name, kBody.size(), qt::Sha256Hex(kBody), 1);
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ReadStatus().detail, L"กำลังดาวน์โหลด " + name + L" (195.3 KB / 195.3 KB)");
}

TEST_F(Downloads, SideFileHeldElsewhere) {
    HANDLE held = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const qt::LogMark mark = qt::MarkLogs();
    const Outcome o = Download(qt::HttpUrl("dl/body.bin"), temp, L"body.bin", kBody.size(), qt::Sha256Hex(kBody), 1);
    CloseHandle(held);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.failure, L"สร้างไฟล์ชั่วคราวไม่ได้: " + temp);
    EXPECT_TRUE(qt::Exists(temp)) << "a file this call did not create is left alone";
    // A download made afterwards is logged after anything the failed call could have sent.
    const std::wstring after = dir + L"\\after.bin.patch.tmp";
    EXPECT_TRUE(Download(qt::HttpUrl("dl/empty.bin"), after, L"after.bin", 0, qt::Sha256Hex(""), 0).ok);
    const auto seen = qt::WaitForRequests(mark, 1);
    ASSERT_EQ(seen.size(), 1u) << "nothing is sent without a side file";
    EXPECT_EQ(seen[0].target, "/dl/empty.bin");
}

struct Tally {
    uint64_t lastReceived = 0;
    int64_t sum = 0;
    bool wentBack = false;  // a report below the one before, other than a start-over to zero
};

void Count(void* context, uint64_t received, int64_t change) {
    Tally& t = *static_cast<Tally*>(context);
    if (received < t.lastReceived && received != 0) t.wentBack = true;
    t.lastReceived = received;
    t.sum += change;
}

// Files of many chunks go through the writing thread: resumed, started over, cut, refused.
TEST_F(Downloads, LargeFilesThroughEveryEnding) {
    const std::string big = qt::Pattern((3u << 20) + 12345, 5);
    ASSERT_TRUE(qt::PublishFile("dl/many-chunks.bin", big));
    const std::string sha = qt::Sha256Hex(big);
    const std::string sizeText = "ขนาดไฟล์ที่ดาวน์โหลดไม่ตรง (big.bin)";
    struct Case {
        std::string fault;
        bool resume;
        std::string sha;
        std::string failure;  // empty: verified
    } cases[] = {
        {"", false, sha, ""},
        {"cuts/700001,1900000", true, sha, ""},
        {"range200/1500000", true, sha, ""},  // the ranged retry answered with the whole file
        {"cut/1300000", false, sha, sizeText},
        {"wrong", false, sha, "ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: big.bin"},
        {"extra-open/300000", false, sha, sizeText},
    };
    HttpSession session;
    std::wstring failure;
    ASSERT_TRUE(OpenHttpSession(session, failure));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        const DownloadFile file{qt::Wide(qt::FaultUrl(c.fault, "dl/many-chunks.bin")), temp, L"big.bin", big.size(),
                                c.sha, c.resume};
        Tally tally;
        const DownloadProgress progress{Count, &tally};
        failure = L"untouched";
        const bool ok = DownloadVerifiedFile(session, file, progress, nullptr, failure);
        EXPECT_EQ(ok, c.failure.empty()) << qt::Utf8(failure);
        EXPECT_FALSE(tally.wentBack);
        if (ok) {
            EXPECT_EQ(qt::ReadBytes(temp), big);
            EXPECT_EQ(tally.lastReceived, big.size());
            EXPECT_EQ(tally.sum, static_cast<int64_t>(big.size()));
        } else {
            EXPECT_EQ(qt::Utf8(failure), c.failure);
            EXPECT_FALSE(qt::Exists(temp)) << "side file left behind";
        }
    }
}

TEST_F(Downloads, RequestCarriesQueryAndAgentOnly) {
    const qt::LogMark mark = qt::MarkLogs();
    const Outcome o = Download(qt::FaultUrl("", "dl/body.bin?rev=9"), temp, L"body.bin", kBody.size(),
                               qt::Sha256Hex(kBody), 1);
    EXPECT_TRUE(o.ok) << qt::Utf8(o.failure);
    const auto seen = qt::RequestsFor(mark, "dl/body.bin");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/dl/body.bin?rev=9");
    EXPECT_EQ(seen[0].userAgent, "QirellPatcher/1.0");
    EXPECT_FALSE(seen[0].Has("Range"));
    EXPECT_EQ(seen[0].Header("Cache-Control"), "no-cache");
}

}  // namespace
