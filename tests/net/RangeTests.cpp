// HttpGetRange and the run-wide session against the loopback servers.
#include <gtest/gtest.h>

#include "TestServers.h"
#include "TestSupport.h"
#include "net/Http.h"
#include "net/RangeRules.h"

namespace {

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131) ^ (i >> 8));
    return s;
}

bool Append(void* context, const uint8_t* data, size_t size) {
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), size);
    return true;
}

bool Refuse(void*, const uint8_t*, size_t) { return false; }

}  // namespace

TEST(Range, DeliversExactlyTheSpanOrFails) {
    const std::string body = Pattern(300000);
    ASSERT_TRUE(qt::PublishFile("range/body.bin", body));
    HttpSession session;
    ASSERT_TRUE(OpenHttpSession(session));
    struct Case {
        std::string url;
        uint64_t first, last, fileSize;
        bool ok;
    } cases[] = {
        {qt::HttpUrl("range/body.bin"), 1000, 200999, body.size(), true},
        {qt::HttpsUrl("range/body.bin"), 0, 0, kUnknownTotal, true},
        {qt::HttpUrl("range/body.bin"), 299990, 299999, body.size(), true},
        {qt::HttpUrl("range/body.bin"), 10, 20, 5000, false},                      // another size
        {qt::FaultUrl("", "range/body.bin"), 10, 20, body.size(), false},           // 200: range ignored
        {qt::FaultUrl("range200/5", "range/body.bin"), 10, 20, body.size(), false},
        {qt::FaultUrl("badrange/5", "range/body.bin"), 10, 20, body.size(), false},  // starts at 11
        {qt::FaultUrl("cuts/5000", "range/body.bin"), 10, 20000, body.size(), false},  // cut short
        {qt::HttpUrl("range/none.bin"), 0, 9, kUnknownTotal, false},
        {qt::HttpUrl("range/body.bin"), 20, 10, kUnknownTotal, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + std::to_string(c.first) + "-" + std::to_string(c.last));
        std::string got;
        const bool ok = HttpGetRange(session, qt::Wide(c.url), c.first, c.last, c.fileSize, Append, &got);
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_TRUE(got == body.substr(c.first, c.last - c.first + 1)) << got.size() << " bytes";
        }
    }
    std::string unused;
    EXPECT_FALSE(HttpGetRange(session, qt::Wide(qt::HttpUrl("range/body.bin")), 0, 99, kUnknownTotal, Refuse,
                              &unused));
}

TEST(Range, AskedWithOneHeaderOnTheWire) {
    ASSERT_TRUE(qt::PublishFile("range/wire.bin", Pattern(5000)));
    HttpSession session;
    ASSERT_TRUE(OpenHttpSession(session));
    const qt::LogMark mark = qt::MarkLogs();
    std::string got;
    ASSERT_TRUE(HttpGetRange(session, qt::Wide(qt::FaultUrl("cuts/99999", "range/wire.bin")), 100, 199, 5000,
                             Append, &got));
    const auto seen = qt::WaitForRequests(mark, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Header("Range"), "bytes=100-199");
    EXPECT_EQ(seen[0].userAgent, "QirellPatcher/1.0");
}

// A limit asked before each read keeps every read within it (a paced transfer's), whatever it allows.
TEST(Range, ReadsFollowTheLimit) {
    const std::string body = Pattern(300000);
    ASSERT_TRUE(qt::PublishFile("range/limited.bin", body));
    HttpSession session;
    ASSERT_TRUE(OpenHttpSession(session));
    struct Sink {
        size_t limit;
        std::string got;
        size_t largest = 0;
    };
    const auto take = [](void* context, const uint8_t* data, size_t size) {
        Sink& s = *static_cast<Sink*>(context);
        s.got.append(reinterpret_cast<const char*>(data), size);
        if (size > s.largest) s.largest = size;
        return true;
    };
    const auto limit = [](void* context) { return static_cast<Sink*>(context)->limit; };
    for (const size_t most : {size_t(1000), size_t(0), size_t(1) << 40}) {
        SCOPED_TRACE(most);
        Sink sink{most, {}};
        ASSERT_TRUE(HttpGetRange(session, qt::Wide(qt::HttpUrl("range/limited.bin")), 100, 250099, body.size(), take,
                                 &sink, limit));
        EXPECT_TRUE(sink.got == body.substr(100, 250000)) << sink.got.size() << " bytes";
        EXPECT_LE(sink.largest, most == 0 ? 1 : most);
    }
}
