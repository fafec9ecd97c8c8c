#include <gtest/gtest.h>

#include "TestServers.h"
#include "TestSupport.h"
#include "net/Http.h"
#include "net/ServerFacts.h"

namespace {

struct Fetch {
    GetResult result;
    std::string body;
    bool ok() const { return result.ok(); }
};

Fetch Get(const std::string& url) {
    Fetch f{{}, "before"};
    f.result = HttpGetToMemory(qt::Wide(url), f.body);
    return f;
}

TEST(Fetch, AnswersOfTheServer) {
    ASSERT_TRUE(qt::PublishFile("fetch/plain.json", "{\"version\":\"7\"}\r\n"));
    ASSERT_TRUE(qt::PublishFile("fetch/empty.json", ""));
    std::string longBody(300000, 'x');
    for (size_t i = 0; i < longBody.size(); ++i) longBody[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(qt::PublishFile("fetch/long.bin", longBody));
    struct Case {
        std::string url;
        GetCode code;
        std::string body;
        uint32_t status = 0;
    } cases[] = {
        {qt::HttpUrl("fetch/plain.json"), GetCode::Ok, "{\"version\":\"7\"}\r\n"},
        {qt::HttpsUrl("fetch/plain.json"), GetCode::Ok, "{\"version\":\"7\"}\r\n"},
        {qt::HttpUrl("fetch/empty.json"), GetCode::Ok, ""},
        {qt::HttpUrl("fetch/long.bin"), GetCode::Ok, longBody},
        // A body cut short is a lost connection, never a shorter answer.
        {qt::FaultUrl("cut/100000", "fetch/long.bin"), GetCode::ConnectionLost, "before"},
        {qt::FaultUrl("cut/0", "fetch/long.bin"), GetCode::ConnectionLost, "before"},
        {qt::FaultUrl("stall/100000/1", "fetch/long.bin"), GetCode::ConnectionLost, "before"},
        {qt::FaultUrl("extra-open/0", "fetch/long.bin"), GetCode::Ok, longBody},
        {qt::HttpUrl("fetch/missing.json"), GetCode::HttpStatus, "before", 404},
        {qt::FaultUrl("status/500", "x"), GetCode::HttpStatus, "before", 500},
        {qt::FaultUrl("drop", "fetch/plain.json"), GetCode::ConnectionLost, "before"},
        {qt::FaultUrl("endless", "x"), GetCode::TooLarge, "before"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Fetch f = Get(c.url);
        EXPECT_EQ(int(f.result.code), int(c.code));
        EXPECT_EQ(f.result.httpStatus, c.status);
        EXPECT_TRUE(f.body == c.body) << "body of " << f.body.size() << " bytes";
    }
}

TEST(Fetch, RejectedAddressMakesNoRequest) {
    const qt::LogMark mark = qt::MarkLogs();
    const std::string longHost = "http://" + std::string(300, 'h') + ".localhost/x";
    const std::string longPath = qt::HttpUrl(std::string(2100, 'p'));
    for (const std::string& url : {std::string("not a url"), longHost, longPath}) {
        const Fetch f = Get(url);
        EXPECT_EQ(int(f.result.code), int(GetCode::BadUrl));
        EXPECT_EQ(f.body, "before");
    }
    // A request made afterwards is logged after anything these calls could have sent.
    ASSERT_TRUE(qt::PublishFile("fetch/after.json", "{}"));
    ASSERT_TRUE(Get(qt::HttpUrl("fetch/after.json")).ok());
    const auto seen = qt::WaitForRequests(mark, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/fetch/after.json");
}

TEST(Fetch, RequestFormOnTheWire) {
    ASSERT_TRUE(qt::PublishFile("fetch/form.json", "{}"));
    const qt::LogMark mark = qt::MarkLogs();
    ASSERT_TRUE(Get(qt::FaultUrl("", "fetch/form.json?t=12345")).ok());
    ASSERT_TRUE(Get(qt::HttpsUrl("fetch/form.json?a=1&t=99")).ok());
    const auto seen = qt::WaitForRequests(mark, 2);
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& r : seen) {
        SCOPED_TRACE(r.server);
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.userAgent, qt::Utf8(kUserAgent));
        EXPECT_FALSE(r.Has("Range"));
        EXPECT_FALSE(r.Has("Referer"));
        EXPECT_FALSE(r.Has("Cookie"));
        EXPECT_FALSE(r.Has("Authorization"));
        EXPECT_FALSE(r.Has("Content-Length"));
        EXPECT_EQ(r.Header("Cache-Control"), "no-cache");  // the refresh flag
    }
    bool sawFault = false, sawNginx = false;
    for (const auto& r : seen) {
        if (r.server == "fault") {
            sawFault = true;
            EXPECT_EQ(r.target, "/fetch/form.json?t=12345");
            // The fault server logs every header: only these may come from a plain GET.
            for (const auto& [name, value] : r.headers) {
                const std::string& n = name;
                EXPECT_TRUE(n == "Host" || n == "User-Agent" || n == "Connection" || n == "Cache-Control" ||
                            n == "Pragma" || n == "Accept")
                    << "unexpected header " << name << ": " << value;
            }
        } else {
            sawNginx = true;
            EXPECT_EQ(r.target, "/fetch/form.json?a=1&t=99");
            EXPECT_EQ(r.Header("Host"), "localhost:" + qt::HttpsPort());
        }
    }
    EXPECT_TRUE(sawFault && sawNginx);
}

TEST(TestServers, LogLinesOfBothServers) {
    qt::ServerRequest r;
    ASSERT_TRUE(qt::ParseRequestLine(
        R"({"server":"nginx","target":"/a?b=1","user_agent":"U \"q\"","headers":[["Host","h"],["Range",""]]})", r));
    EXPECT_EQ(r.target, "/a?b=1");
    EXPECT_EQ(r.userAgent, "U \"q\"");
    EXPECT_EQ(r.Header("host"), "h");
    EXPECT_FALSE(r.Has("Range"));  // nginx logs absent headers as empty
    ASSERT_TRUE(qt::ParseRequestLine(
        R"({"server": "fault", "target": "/\u00e9", "headers": [["Range", ""], ["X", "1"]]})", r));
    EXPECT_EQ(r.target, "/\xc3\xa9");
    EXPECT_TRUE(r.Has("Range"));
    EXPECT_EQ(r.Header("x"), "1");
    EXPECT_FALSE(qt::ParseRequestLine("GET / HTTP/1.1", r));
    EXPECT_FALSE(qt::ParseRequestLine(R"({"target":"/no-server"})", r));
}

}  // namespace
