// The optional "download" member: read when well formed, passed over otherwise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/Manifest.h"

namespace {

const char* const kFiles = R"("files": [{"path": "a.bin", "size": 1, "sha256": "00"}])";

std::string Doc(const std::string& members) { return "{" + members + (members.empty() ? "" : ", ") + kFiles + "}"; }

}  // namespace

TEST(DownloadMember, ReadWhenWellFormedIgnoredOtherwise) {
    struct Case {
        std::string members;
        unsigned connections;
        bool resume;
    } cases[] = {
        {"", 1, false},
        {R"("download": {"connections": 4, "resume": true})", 4, true},
        {R"("download": {"resume": true})", 1, true},
        {R"("download": {"connections": 8})", 8, false},
        {R"("download": {})", 1, false},
        {R"("download": {"connections": 0})", 1, false},
        {R"("download": {"connections": 9})", 1, false},
        {R"("download": {"connections": 4000000000000})", 1, false},
        {R"("download": {"connections": "4", "resume": "true"})", 1, false},
        {R"("download": {"connections": -2, "resume": 1})", 1, false},
        {R"("download": {"connections": 2.5})", 1, false},
        {R"("download": {"connections": [4], "resume": {"on": true}})", 1, false},
        {R"("download": {"future": {"x": [1, 2]}, "connections": 3})", 3, false},
        {R"("download": 4)", 1, false},
        {R"("download": "fast")", 1, false},
        {R"("download": {"connections": 2}, "download": {"resume": true})", 2, true},
    };
    for (const auto& c : cases) {
        PatchManifest m;
        ASSERT_TRUE(ParseManifest(Doc(c.members), m)) << c.members;
        EXPECT_EQ(m.connections, c.connections) << c.members;
        EXPECT_EQ(m.resume, c.resume) << c.members;
        ASSERT_EQ(m.files.size(), 1u) << c.members;
    }
}

TEST(DownloadMember, ABrokenObjectBreaksTheDocumentAsAnyBrokenValueDoes) {
    for (const std::string members : {R"("download": {"connections": 4)", R"("download": {"connections" 4})",
                                      R"("download": {4: 4})"}) {
        PatchManifest m;
        EXPECT_FALSE(ParseManifest("{" + members + ", " + kFiles + "}", m)) << members;
    }
}

TEST(MirrorsMember, HttpAddressesUpToEightInOrderOtherItemsPassedOver) {
    const std::string nine =
        R"("mirrors": ["http://m/1/", "http://m/2/", "http://m/3/", "http://m/4/", "http://m/5/", "http://m/6/",)"
        R"( "http://m/7/", "http://m/8/", "http://m/9/"])";
    struct Case {
        std::string members;
        std::vector<std::string> mirrors;
    } cases[] = {
        {"", {}},
        {R"("mirrors": [])", {}},
        {R"("mirrors": ["https://a.example/patch/", "http://b.example/p/"])",
         {"https://a.example/patch/", "http://b.example/p/"}},
        {R"("mirrors": ["ftp://x/", 4, {"url": "https://y/"}, ["https://z/"], "files/", "https://ok/"])", {"https://ok/"}},
        {nine, {"http://m/1/", "http://m/2/", "http://m/3/", "http://m/4/", "http://m/5/", "http://m/6/", "http://m/7/",
                "http://m/8/"}},
        {R"("mirrors": "https://a.example/")", {}},
        {R"("mirrors": {"first": "https://a.example/"})", {}},
    };
    for (const auto& c : cases) {
        PatchManifest m;
        ASSERT_TRUE(ParseManifest(Doc(c.members), m)) << c.members;
        EXPECT_EQ(m.mirrors, c.mirrors) << c.members;
        EXPECT_EQ(m.files.size(), 1u) << c.members;
    }
    PatchManifest broken;
    EXPECT_FALSE(ParseManifest(Doc(R"("mirrors": ["https://a/", )"), broken));
}

// The "check" member turns on fast start; like "download", a value it cannot use leaves the default.
TEST(CheckMember, ReadWhenWellFormedIgnoredOtherwise) {
    struct Case {
        std::string members;
        bool reuse;
        unsigned days;
    } cases[] = {
        {"", false, 7},
        {R"("check": {"reuse_verified": true})", true, 7},
        {R"("check": {"reuse_verified": true, "full_check_days": 30})", true, 30},
        {R"("check": {"full_check_days": 1, "reuse_verified": false})", false, 1},
        {R"("check": {"reuse_verified": true, "full_check_days": 0})", true, 7},
        {R"("check": {"reuse_verified": true, "full_check_days": 3651})", true, 7},
        {R"("check": {"reuse_verified": true, "full_check_days": 3650})", true, 3650},
        {R"("check": {"reuse_verified": "true", "full_check_days": "3"})", false, 7},
        {R"("check": {"reuse_verified": 1, "full_check_days": 2.5})", false, 7},
        {R"("check": {"later": [1, {"x": 2}], "reuse_verified": true})", true, 7},
        {R"("check": true)", false, 7},
        {R"("check": [true])", false, 7},
    };
    for (const auto& c : cases) {
        PatchManifest m;
        ASSERT_TRUE(ParseManifest(Doc(c.members), m)) << c.members;
        EXPECT_EQ(m.reuseVerified, c.reuse) << c.members;
        EXPECT_EQ(m.fullCheckDays, c.days) << c.members;
        ASSERT_EQ(m.files.size(), 1u) << c.members;
    }
}

// "next" announces the following release; without a usable url the member is passed over whole.
TEST(NextMember, ReadWhenItHasAnAddressPassedOverOtherwise) {
    struct Case {
        std::string members;
        std::string url;
        bool whilePlaying;
        unsigned kib;
    } cases[] = {
        {"", "", false, 512},
        {R"("next": {"url": "https://cdn.example/next/manifest.json"})", "https://cdn.example/next/manifest.json", false,
         512},
        {R"("next": {"url": "../next/manifest.json", "while_playing": true, "max_kib_per_s": 64})",
         "../next/manifest.json", true, 64},
        {R"("next": {"url": "n.json", "max_kib_per_s": 0, "while_playing": "yes"})", "n.json", false, 512},
        {R"("next": {"url": "n.json", "max_kib_per_s": 1048577, "later": {"x": [1]}})", "n.json", false, 512},
        {R"("next": {"url": "", "while_playing": true})", "", false, 512},
        {R"("next": {"url": 5, "while_playing": true})", "", false, 512},
        {R"("next": {"while_playing": true})", "", false, 512},
        {R"("next": "https://cdn.example/next/manifest.json")", "", false, 512},
        {R"("next": ["n.json"])", "", false, 512},
    };
    for (const auto& c : cases) {
        PatchManifest m;
        ASSERT_TRUE(ParseManifest(Doc(c.members), m)) << c.members;
        EXPECT_EQ(m.next.url, c.url) << c.members;
        EXPECT_EQ(m.next.whilePlaying, c.whilePlaying) << c.members;
        EXPECT_EQ(m.next.maxKibPerS, c.kib) << c.members;
        ASSERT_EQ(m.files.size(), 1u) << c.members;
    }
    PatchManifest broken;
    EXPECT_FALSE(ParseManifest(Doc(R"("next": {"url": "n.json")"), broken));
}
