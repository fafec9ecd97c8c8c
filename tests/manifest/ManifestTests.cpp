#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/Manifest.h"

namespace {

const char* const kWorkedExample = R"({
  "version": "2024-06-01",
  "notes": {"th": "ignored", "list": [1, 2, 3]},
  "files": [
    {"path": "data/sprite/npc.spr", "size": 20480,
     "sha256": "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"},
    {"path": "system/font.ttf", "url": "https://cdn.update.example/font.ttf",
     "size": 1048576,
     "sha256": "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210"},
    {"path": "readme.txt", "size": 12}
  ],
  "delete_files": ["old/legacy.dll"],
  "delete_dirs": ["old/cache"]
})";

PatchManifest Parsed(const std::string& text, bool expectOk = true) {
    PatchManifest m;
    EXPECT_EQ(ParseManifest(text, m), expectOk) << text;
    return m;
}

bool Parses(const std::string& text) {
    PatchManifest m;
    return ParseManifest(text, m);
}

// One file object inside an otherwise valid document.
std::string WithEntry(const std::string& entry) { return R"({"files": [)" + entry + "]}"; }

}  // namespace

TEST(ParseManifest, WorkedExample) {
    const PatchManifest m = Parsed(kWorkedExample);
    EXPECT_EQ(m.version, "2024-06-01");
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].path, "data/sprite/npc.spr");
    EXPECT_EQ(m.files[0].url, "files/data/sprite/npc.spr");
    EXPECT_EQ(m.files[0].size, 20480u);
    EXPECT_EQ(m.files[0].sha256, "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
    EXPECT_EQ(m.files[1].path, "system/font.ttf");
    EXPECT_EQ(m.files[1].url, "https://cdn.update.example/font.ttf");
    EXPECT_EQ(m.files[1].size, 1048576u);
    EXPECT_EQ(m.files[1].sha256, "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210");
    EXPECT_EQ(m.delete_files, std::vector<std::string>{"old/legacy.dll"});
    EXPECT_EQ(m.delete_dirs, std::vector<std::string>{"old/cache"});

    for (const wchar_t* base : {L"https://update.example/patch/manifest.json",
                                L"https://update.example/patch/manifest.json?channel=beta"}) {
        EXPECT_EQ(ResolveFileUrl(base, L"files/data/sprite/npc.spr"),
                  L"https://update.example/patch/files/data/sprite/npc.spr");
        EXPECT_EQ(ResolveFileUrl(base, L"https://cdn.update.example/font.ttf"),
                  L"https://cdn.update.example/font.ttf");
    }
}

TEST(ParseManifest, DocumentShapeAndLeadingBytes) {
    struct Case {
        std::string text;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"{}", true},
        {" \t\r\n{ \n}", true},
        {" \t\r\n" + WithEntry(R"({"path":"a","sha256":"b"})"), true},
        {"\xEF\xBB\xBF{}", false},
        {"", false},
        {"   ", false},
        {"[]", false},
        {"null", false},
        {"{", false},
        {R"({"version":"1")", false},
        {R"({"version":"1",})", false},
        {R"({version:"1"})", false},
        {R"({"version" "1"})", false},
        {R"({"version":"1" "x":2})", false},
        {"\f{}", false},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.text);
        EXPECT_EQ(Parses(t.text), t.ok);
    }
    const PatchManifest empty = Parsed("{}");
    EXPECT_TRUE(empty.version.empty());
    EXPECT_TRUE(empty.files.empty());
    EXPECT_TRUE(empty.delete_dirs.empty() && empty.delete_files.empty());
}

TEST(ParseManifest, BytesAfterTheRootObjectAreIgnored) {
    for (const std::string tail : {"", " garbage", R"({"files":"x"})", "}]", "\xEF\xBB\xBF", "\"open"}) {
        SCOPED_TRACE(tail);
        const PatchManifest m = Parsed(WithEntry(R"({"path":"a","sha256":"b"})") + tail);
        EXPECT_EQ(m.files.size(), 1u);
    }
    EXPECT_EQ(Parsed(std::string("{}\0\xFF", 4)).files.size(), 0u);
}

TEST(ParseManifest, TypedMembersAreStrict) {
    const std::vector<std::string> invalid = {
        R"({"version": 1})",
        R"({"version": null})",
        R"({"files": null})",
        R"({"files": "a"})",
        R"({"files": {}})",
        R"({"files": [1]})",
        R"({"files": [[]]})",
        R"({"files": [{"path":"a","sha256":"b"},]})",
        R"({"files": [{"path":"a","sha256":"b",}]})",
        R"({"files": [{"path":"a","sha256":"b"})",
        R"({"files": [{"path":"a","sha256":"b"]})",
        R"({"files": [{"path": 1, "sha256":"b"}]})",
        R"({"files": [{"path":"a", "url": null, "sha256":"b"}]})",
        R"({"files": [{"path":"a", "sha256": ["b"]}]})",
        R"({"files": [{path:"a"}]})",
        R"({"delete_files": [1]})",
        R"({"delete_files": ["a",]})",
        R"({"delete_files": "a"})",
        R"({"delete_dirs": null})",
        R"({"delete_dirs": [["a"]]})",
    };
    for (const auto& text : invalid) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(Parses(text));
    }
}

TEST(ParseManifest, UnknownMembersAreSkippedLeniently) {
    const std::string entry = R"({"path":"a","sha256":"b"})";
    const std::vector<std::string> valid = {
        R"({"notes": [1, 2,], "files": [)" + entry + "]}",
        R"({"notes": [,], "files": [)" + entry + "]}",
        R"({"notes": tru, "files": [)" + entry + "]}",
        R"({"notes": , "files": [)" + entry + "]}",
        R"({"notes": {"x":}, "files": [)" + entry + "]}",
        R"({"files": [{"path":"a","extra":[{"deep":[1,{}]}],"sha256":"b","x":-1.5e3}]})",
        R"({"Files": [1], "files": [)" + entry + "]}",
    };
    for (const auto& text : valid) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Parsed(text).files.size(), 1u);
    }
    EXPECT_FALSE(Parses(R"({"notes": {"x":1,}, "files": [)" + entry + "]}"));
    EXPECT_FALSE(Parses(R"({"notes": {x:1}, "files": [)" + entry + "]}"));
    // Names are matched byte for byte after escapes, case-sensitively.
    const PatchManifest capital = Parsed(R"({"Files": [)" + entry + R"(], "VERSION": "9"})");
    EXPECT_TRUE(capital.files.empty());
    EXPECT_TRUE(capital.version.empty());
    EXPECT_EQ(Parsed(R"({"ver\sion": "9"})").version, "9");
}

TEST(ParseManifest, EscapesAndRawBytesReachTheModel) {
    const PatchManifest m = Parsed(
        "{\"version\": \"\\u0041\\b\", \"files\": [{\"path\": \"d\\/\\u00e9\\\\x\", "
        "\"sha256\": \"AB\\u00C9\xC3\x89\"}], \"delete_files\": [\"\xE0\xB8\x81 \\n\"]}");
    EXPECT_EQ(m.version, "u0041b");
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].path, "d/u00e9\\x");
    EXPECT_EQ(m.files[0].url, "files/d/u00e9\\x");
    EXPECT_EQ(m.files[0].sha256, "abu00c9\xC3\x89");  // only A-Z change, UTF-8 bytes stay
    EXPECT_EQ(m.delete_files, std::vector<std::string>{"\xE0\xB8\x81 \n"});
    EXPECT_FALSE(Parses(R"({"version": "ends in \)"));
    EXPECT_FALSE(Parses(R"({"version": "open})"));
}

TEST(ParseManifest, RepeatedMembers) {
    const PatchManifest m = Parsed(R"({
        "version": "1", "files": [{"path":"a","sha256":"1"}],
        "delete_files": ["x"], "delete_dirs": ["p"],
        "version": "2", "files": [{"path":"b","sha256":"2"}, {"path":"c","sha256":"3"}],
        "delete_files": [], "delete_dirs": ["q", "r"], "delete_files": ["y"]})");
    EXPECT_EQ(m.version, "2");
    ASSERT_EQ(m.files.size(), 3u);
    EXPECT_EQ(m.files[0].path, "a");
    EXPECT_EQ(m.files[1].path, "b");
    EXPECT_EQ(m.files[2].path, "c");
    EXPECT_EQ(m.delete_files, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(m.delete_dirs, (std::vector<std::string>{"p", "q", "r"}));

    const PatchManifest e = Parsed(WithEntry(
        R"({"path":"a","url":"u1","size":1,"sha256":"d1","path":"b","url":"u2","size":2,"sha256":"D2"})"));
    ASSERT_EQ(e.files.size(), 1u);
    EXPECT_EQ(e.files[0].path, "b");
    EXPECT_EQ(e.files[0].url, "u2");
    EXPECT_EQ(e.files[0].size, 2u);
    EXPECT_EQ(e.files[0].sha256, "d2");
    // A later empty value replaces an earlier one, so the entry is dropped.
    EXPECT_TRUE(Parsed(WithEntry(R"({"path":"a","sha256":"d","path":""})")).files.empty());
}

TEST(ParseManifest, EntryCompletion) {
    struct Case {
        std::string entry;
        bool stored;
        std::string url;
        uint64_t size;
        std::string sha256;
    };
    const std::vector<Case> cases = {
        {R"({"path":"a/b","sha256":"d"})", true, "files/a/b", 0, "d"},
        {R"({"path":"a/b","url":"","sha256":"d"})", true, "files/a/b", 0, "d"},
        {R"({"path":"a b","url":"x/y?z","sha256":"d"})", true, "x/y?z", 0, "d"},
        {R"({"sha256":"ABCDEFXYZ","path":"p","size":0012})", true, "files/p", 12, "abcdefxyz"},
        {R"({"path":"p","sha256":"d","size":18446744073709551615})", true, "files/p", UINT64_MAX, "d"},
        {R"({"path":"p","sha256":"d","size":18446744073709551616})", true, "files/p", 0, "d"},
        {R"({"path":"p","sha256":"not-hex-at-all"})", true, "files/p", 0, "not-hex-at-all"},
        {R"({"path":"p"})", false, "", 0, ""},
        {R"({"path":"p","sha256":""})", false, "", 0, ""},
        {R"({"sha256":"d"})", false, "", 0, ""},
        {R"({"path":"","sha256":"d","url":"u"})", false, "", 0, ""},
        {R"({"Path":"p","sha256":"d"})", false, "", 0, ""},
        {"{}", false, "", 0, ""},
        {" { } ", false, "", 0, ""},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.entry);
        const PatchManifest m = Parsed(WithEntry(t.entry));
        ASSERT_EQ(m.files.size(), t.stored ? 1u : 0u);
        if (!t.stored) continue;
        EXPECT_EQ(m.files[0].url, t.url);
        EXPECT_EQ(m.files[0].size, t.size);
        EXPECT_EQ(m.files[0].sha256, t.sha256);
    }
    // Dropped entries do not disturb their neighbours or the order.
    const PatchManifest order = Parsed(WithEntry(
        R"({"path":"1","sha256":"d"}, {"path":"2"}, {}, {"path":"3","sha256":"d"})"));
    ASSERT_EQ(order.files.size(), 2u);
    EXPECT_EQ(order.files[0].path, "1");
    EXPECT_EQ(order.files[1].path, "3");
}

TEST(ParseManifest, SizeFormsThatInvalidateTheDocument) {
    for (const std::string size : {"1.5", "-1", "+1", "\"12\"", "1e3", "12abc", "null", "", "0x10", " "}) {
        SCOPED_TRACE(size);
        EXPECT_FALSE(Parses(WithEntry(R"({"path":"p","sha256":"d","size":)" + size + "}")));
    }
    EXPECT_TRUE(Parses(WithEntry(R"({"path":"p","size": 7 ,"sha256":"d"})")));
}

TEST(ParseManifest, DepthLimitAppliesOnlyToSkippedValues) {
    auto nested = [](int depth) {
        return std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']');
    };
    const std::string entry = R"({"path":"a","sha256":"b"})";
    EXPECT_TRUE(Parses(R"({"notes": )" + nested(256) + R"(, "files": [)" + entry + "]}"));
    EXPECT_FALSE(Parses(R"({"notes": )" + nested(257) + R"(, "files": [)" + entry + "]}"));
    // Root object, "files" and the entry already make three levels; the skipped value gets its own 256.
    EXPECT_TRUE(Parses(WithEntry(R"({"path":"a","sha256":"b","x":)" + nested(256) + "}")));
    EXPECT_FALSE(Parses(WithEntry(R"({"path":"a","sha256":"b","x":)" + nested(257) + "}")));
    EXPECT_FALSE(Parses(R"({"x": )" + std::string(1 << 20, '[')));
}

TEST(ResolveFileUrl, AbsoluteRelativeAndOddBases) {
    struct Case {
        const wchar_t* manifest;
        const wchar_t* entry;
        const wchar_t* expected;
    };
    const std::vector<Case> cases = {
        {L"https://u.example/patch/manifest.json", L"files/a.spr", L"https://u.example/patch/files/a.spr"},
        {L"https://u.example/patch/manifest.json", L"http://other/x", L"http://other/x"},
        {L"https://u.example/patch/manifest.json", L"https://other/x", L"https://other/x"},
        {L"https://u.example/patch/manifest.json", L"HTTPS://other/x",
         L"https://u.example/patch/HTTPS://other/x"},
        {L"https://u.example/patch/manifest.json", L"Http://other/x",
         L"https://u.example/patch/Http://other/x"},
        {L"https://u.example/patch/manifest.json", L"/root/x", L"https://u.example/patch//root/x"},
        {L"https://u.example/patch/manifest.json", L"../up b\\\u0E01.txt",
         L"https://u.example/patch/../up b\\\u0E01.txt"},
        {L"https://u.example/patch/manifest.json", L"", L"https://u.example/patch/"},
        {L"https://u.example/patch/manifest.json?channel=beta", L"f", L"https://u.example/patch/f"},
        {L"https://u.example/patch/manifest.json?from=/a/b", L"f", L"https://u.example/patch/f"},
        {L"https://u.example/patch/?x=1", L"f", L"https://u.example/patch/f"},
        {L"https://u.example/p/m.json?a=/x?b=/y", L"f", L"https://u.example/p/f"},
        {L"https://u.example/manifest.json", L"f", L"https://u.example/f"},
        {L"https://u.example", L"files/f", L"https://u.example/files/f"},
        {L"https://u.example?q=/a/b", L"files/f", L"https://u.example/files/f"},
        {L"https://u.example/", L"files/f", L"https://u.example/files/f"},
        {L"manifest.json", L"files/f", L"files/f"},
        {L"", L"files/f", L"files/f"},
        {L"?a/b", L"files/f", L"files/f"},
        {L"dir/manifest.json", L"files/f", L"dir/files/f"},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << t.manifest << " + " << t.entry);
        EXPECT_EQ(ResolveFileUrl(t.manifest, t.entry), t.expected);
    }
}

TEST(ManifestDelta, TheBlockMapMemberIsReadWhenWholeAndPassedOverOtherwise) {
    const std::string head = R"({"files": [{"path": "data.qpa", "size": 5, "sha256": "AB", "delta": )";
    const struct {
        const char* delta;
        const char* url;
        uint64_t size;
        const char* sha256;
    } rows[] = {
        {R"({"url": "maps/data.qpa.qbm", "size": 84, "sha256": "CD", "more": [1]})", "maps/data.qpa.qbm", 84, "cd"},
        {R"({"sha256": "cd", "size": 0, "url": "http://x/m"})", "http://x/m", 0, "cd"},
        {R"({"url": "m", "size": 84})", "", 0, ""},
        {R"({"url": "m", "sha256": "cd"})", "", 0, ""},
        {R"({})", "", 0, ""},
        {R"("maps/data.qpa.qbm")", "", 0, ""},
        {R"([{"url": "m", "size": 1, "sha256": "cd"}])", "", 0, ""},
        {"null", "", 0, ""},
    };
    for (const auto& r : rows) {
        const PatchManifest m = Parsed(head + r.delta + "}]}");
        ASSERT_EQ(m.files.size(), 1u) << r.delta;
        EXPECT_EQ(m.files[0].map.url, r.url) << r.delta;
        EXPECT_EQ(m.files[0].map.size, r.size) << r.delta;
        EXPECT_EQ(m.files[0].map.sha256, r.sha256) << r.delta;
        EXPECT_EQ(m.files[0].sha256, "ab");
    }
    for (const char* broken : {R"({"url": 5, "size": 1, "sha256": "cd"})", R"({"url": "m", "size": -1})", R"({"url")"})
        Parsed(head + broken + "}]}", false);
}
