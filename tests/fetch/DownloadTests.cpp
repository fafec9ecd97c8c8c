#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestServers.h"
#include "TestSupport.h"
#include "base/StatusBoard.h"
#include "fetch/Download.h"

namespace {

struct Tally {
    int calls = 0;
    uint64_t lastReceived = 0;
    int64_t sum = 0;
    bool wentBack = false;  // a report below the one before, other than a start-over to zero
};

void Count(void* context, uint64_t received, int64_t change) {
    Tally& t = *static_cast<Tally*>(context);
    if (received < t.lastReceived && received != 0) t.wentBack = true;
    ++t.calls;
    t.lastReceived = received;
    t.sum += change;
}

struct Outcome {
    FetchResult result;
    Tally tally;
    bool ok() const { return IsVerified(result); }
};

Outcome Download(const std::string& url, const std::wstring& temp, uint64_t size, const std::string& sha) {
    Outcome o;
    HttpSession session;
    if (!OpenHttpSession(session)) {
        ADD_FAILURE() << "no session";
        return o;
    }
    const DownloadFile file{qt::Wide(url), temp, size, sha, false, {}, nullptr, nullptr};
    const DownloadProgress progress{Count, &o.tally};
    o.result = DownloadVerifiedFile(session, file, progress, nullptr);
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
    using C = FetchCode;
    struct Case {
        std::string url;
        uint64_t size;
        std::string sha;
        FetchCode code;
        uint32_t httpStatus = 0;
    } cases[] = {
        {qt::HttpUrl("dl/body.bin"), kBody.size(), sha, C::Verified},
        {qt::HttpsUrl("dl/body.bin?v=2"), kBody.size(), sha, C::Verified},
        {qt::HttpUrl("dl/body.bin"), kBody.size(), qt::Sha256Hex("other"), C::WrongDigest},
        {qt::FaultUrl("wrong", "dl/body.bin"), kBody.size(), sha, C::WrongDigest},
        {qt::HttpUrl("dl/body.bin"), kBody.size() - 1000, sha, C::WrongSize},
        // Bytes after the announced length are not part of the body.
        {qt::FaultUrl("extra/5000", "dl/body.bin"), kBody.size(), sha, C::Verified},
        {qt::FaultUrl("extra-open/5000", "dl/body.bin"), kBody.size(), sha, C::WrongSize},
        {qt::FaultUrl("cut/70000", "dl/body.bin"), kBody.size(), sha, C::WrongSize},
        {qt::HttpUrl("dl/none.bin"), 1, sha, C::HttpStatus, 404},
        {qt::FaultUrl("status/503", "dl/body.bin"), 1, sha, C::HttpStatus, 503},
        {qt::FaultUrl("drop", "dl/body.bin"), 1, sha, C::ConnectionLost},
        {"::bad::", 1, sha, C::BadUrl},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " size " + std::to_string(c.size));
        qt::WriteBytes(temp, "stale side file");
        const Outcome o = Download(c.url, temp, c.size, c.sha);
        EXPECT_EQ(o.result.code, c.code);
        EXPECT_EQ(o.result.httpStatus, c.httpStatus);
        if (o.ok()) {
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
    const Outcome o = Download(qt::FaultUrl("extra-open/0", "dl/big.bin"), temp, expected, qt::Sha256Hex("x"));
    done = true;
    watch.join();
    EXPECT_EQ(o.result.code, FetchCode::WrongSize);
    EXPECT_FALSE(qt::Exists(temp));
    EXPECT_LE(largest.load(), expected + 65536);
    EXPECT_LE(static_cast<uint64_t>(o.tally.sum), expected);
}

TEST_F(Downloads, EmptyFileReportsNothing) {
    const Outcome good = Download(qt::HttpUrl("dl/empty.bin"), temp, 0, qt::Sha256Hex(""));
    EXPECT_TRUE(good.ok());
    EXPECT_TRUE(qt::Exists(temp));
    EXPECT_EQ(qt::SizeOf(temp), 0u);
    EXPECT_EQ(good.tally.calls, 0);
    const Outcome bad = Download(qt::HttpUrl("dl/empty.bin"), temp, 0, qt::Sha256Hex("z"));
    EXPECT_EQ(bad.result.code, FetchCode::WrongDigest);
}

TEST_F(Downloads, ProgressEndsWithTheWholeFile) {
    const Outcome o = Download(qt::HttpUrl("dl/body.bin"), temp, kBody.size(), qt::Sha256Hex(kBody));
    ASSERT_TRUE(o.ok());
    EXPECT_EQ(o.tally.lastReceived, kBody.size());
    EXPECT_EQ(o.tally.sum, static_cast<int64_t>(kBody.size()));
    EXPECT_FALSE(o.tally.wentBack);
}

TEST_F(Downloads, SideFileHeldElsewhere) {
    HANDLE held = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const qt::LogMark mark = qt::MarkLogs();
    const Outcome o = Download(qt::HttpUrl("dl/body.bin"), temp, kBody.size(), qt::Sha256Hex(kBody));
    CloseHandle(held);
    EXPECT_EQ(o.result.code, FetchCode::NoSideFile);
    EXPECT_TRUE(qt::Exists(temp)) << "a file this call did not create is left alone";
    // A download made afterwards is logged after anything the failed call could have sent.
    const std::wstring after = dir + L"\\after.bin.patch.tmp";
    EXPECT_TRUE(Download(qt::HttpUrl("dl/empty.bin"), after, 0, qt::Sha256Hex("")).ok());
    const auto seen = qt::WaitForRequests(mark, 1);
    ASSERT_EQ(seen.size(), 1u) << "nothing is sent without a side file";
    EXPECT_EQ(seen[0].target, "/dl/empty.bin");
}

// Files of many chunks go through the writing thread: resumed, started over, cut, refused.
TEST_F(Downloads, LargeFilesThroughEveryEnding) {
    const std::string big = qt::Pattern((3u << 20) + 12345, 5);
    ASSERT_TRUE(qt::PublishFile("dl/many-chunks.bin", big));
    const std::string sha = qt::Sha256Hex(big);
    struct Case {
        std::string fault;
        bool resume;
        std::string sha;
        FetchCode code;
    } cases[] = {
        {"", false, sha, FetchCode::Verified},
        {"cuts/700001,1900000", true, sha, FetchCode::Verified},
        {"range200/1500000", true, sha, FetchCode::Verified},  // the ranged retry answered with the whole file
        {"cut/1300000", false, sha, FetchCode::WrongSize},
        {"wrong", false, sha, FetchCode::WrongDigest},
        {"extra-open/300000", false, sha, FetchCode::WrongSize},
    };
    HttpSession session;
    ASSERT_TRUE(OpenHttpSession(session));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        const DownloadFile file{qt::Wide(qt::FaultUrl(c.fault, "dl/many-chunks.bin")), temp, big.size(), c.sha,
                                c.resume, {}, nullptr, nullptr};
        Tally tally;
        const DownloadProgress progress{Count, &tally};
        const FetchResult result = DownloadVerifiedFile(session, file, progress, nullptr);
        const bool ok = IsVerified(result);
        EXPECT_EQ(result.code, c.code);
        EXPECT_FALSE(tally.wentBack);
        if (ok) {
            EXPECT_EQ(qt::ReadBytes(temp), big);
            EXPECT_EQ(tally.lastReceived, big.size());
            EXPECT_EQ(tally.sum, static_cast<int64_t>(big.size()));
        } else {
            EXPECT_FALSE(qt::Exists(temp)) << "side file left behind";
        }
    }
}

TEST_F(Downloads, RequestCarriesQueryAndAgentOnly) {
    const qt::LogMark mark = qt::MarkLogs();
    const Outcome o = Download(qt::FaultUrl("", "dl/body.bin?rev=9"), temp, kBody.size(), qt::Sha256Hex(kBody));
    EXPECT_TRUE(o.ok());
    const auto seen = qt::RequestsFor(mark, "dl/body.bin");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/dl/body.bin?rev=9");
    EXPECT_EQ(seen[0].userAgent, "QirellPatcher/1.0");
    EXPECT_FALSE(seen[0].Has("Range"));
    EXPECT_EQ(seen[0].Header("Cache-Control"), "no-cache");
}

}  // namespace

// A paced read asks for no more than a sixteenth of a second's bytes, so one read cannot burst past a
// small cap; the cap can be lifted while the transfer runs, and a cancel ends a paced one.
TEST_F(Downloads, PacedReadsStayWithinTheCap) {
    const std::string big = qt::Pattern((1u << 20) + 777, 6);  // several chunks: the writing thread too
    ASSERT_TRUE(qt::PublishFile("dl/paced.bin", big));
    struct Watch {
        Pace pace;
        DownloadCancel cancel;
        bool cancelAt8 = false;
        int reports = 0;
        int64_t largestPaced = 0;
    };
    const auto onBytes = [](void* context, uint64_t, int64_t change) {
        Watch& w = *static_cast<Watch*>(context);
        if (w.pace.kibPerS.load() != 0 && change > w.largestPaced) w.largestPaced = change;
        if (++w.reports != 8) return;
        if (w.cancelAt8) CancelDownload(w.cancel);
        else w.pace.kibPerS = 0;
    };
    HttpSession session;
    ASSERT_TRUE(OpenHttpSession(session));
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "cap lifted");
        Watch w;
        w.pace.kibPerS = 16;
        w.pace.background = true;
        w.cancelAt8 = cancel;
        DownloadFile file{qt::Wide(qt::HttpUrl("dl/paced.bin")), temp, big.size(), qt::Sha256Hex(big), false,
                          {}, nullptr, nullptr};
        file.pace = &w.pace;
        const FetchResult result = DownloadVerifiedFile(session, file, {onBytes, &w}, &w.cancel);
        EXPECT_EQ(result.code, cancel ? FetchCode::Cancelled : FetchCode::Verified);
        EXPECT_GE(w.reports, 8);
        EXPECT_GT(w.largestPaced, 0);
        EXPECT_LE(w.largestPaced, 1024);
        if (!cancel) {
            EXPECT_EQ(qt::ReadBytes(temp), big);
        }
    }
}
