#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "manifest/Json.h"

namespace {

struct StringCase {
    std::string text;
    bool ok;
    std::string out;
};

std::string Nested(int depth, const std::string& open, const std::string& inner,
                   const std::string& close) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += inner;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

}  // namespace

TEST(JsonCursor, EmptyAndWhitespaceOnlyTextsFailEveryRead) {
    for (const std::string text : {"", " \t\r\n "}) {
        JsonCursor c{text};
        std::string s = "kept";
        std::vector<std::string> list;
        uint64_t n = 7;
        EXPECT_FALSE(Consume(c, '{'));
        EXPECT_FALSE(ReadString(c, s));
        EXPECT_FALSE(ReadStringArray(c, list));
        EXPECT_FALSE(ReadUnsigned64(c, n));
        EXPECT_FALSE(SkipValue(c));
        EXPECT_EQ(s, "kept");
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(n, 7u);
        EXPECT_EQ(c.pos, text.size());
    }
}

TEST(JsonCursor, OnlyFourBytesCountAsWhitespace) {
    const std::string text = " \t\r\n\f\v";
    JsonCursor c{text};
    SkipWhitespace(c);
    EXPECT_EQ(c.pos, 4u);
    EXPECT_FALSE(Consume(c, '\v'));
    EXPECT_EQ(c.pos, 4u);
    EXPECT_TRUE(Consume(c, '\f'));
    EXPECT_EQ(c.pos, 5u);
}

TEST(JsonCursor, ByteOrderMarkIsNotWhitespace) {
    const std::string text = "\xEF\xBB\xBF\"a\"";
    JsonCursor c{text};
    std::string s;
    uint64_t n = 0;
    EXPECT_FALSE(ReadString(c, s));
    EXPECT_FALSE(Consume(c, '"'));
    EXPECT_FALSE(ReadUnsigned64(c, n));
    EXPECT_TRUE(SkipValue(c));  // an empty bare scalar: nothing is passed
    EXPECT_EQ(c.pos, 0u);
}

TEST(ReadString, EscapesAndRawBytes) {
    const std::vector<StringCase> cases = {
        {R"("plain")", true, "plain"},
        {"  \r\n\"lead\"", true, "lead"},
        {R"("")", true, ""},
        {R"("\"\\\/\n\r\t")", true, "\"\\/\n\r\t"},
        {R"("\b\f\x")", true, "bfx"},
        {R"("\u0041")", true, "u0041"},
        {R"("\uD83D\uDE00")", true, "uD83DuDE00"},
        {"\"line\nfeed\ttab\"", true, "line\nfeed\ttab"},
        {std::string("\"nul\0byte\"", 10), true, std::string("nul\0byte", 8)},
        {"\"\xE0\xB8\x81\xFF\x80\x7F\"", true, "\xE0\xB8\x81\xFF\x80\x7F"},
        {R"("open)", false, "open"},
        {R"("ends in \)", false, "ends in \\"},
        {R"("\")", false, "\""},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.text);
        JsonCursor c{t.text};
        std::string out = "stale";
        EXPECT_EQ(ReadString(c, out), t.ok);
        EXPECT_EQ(out, t.out);
        if (t.ok) {
            EXPECT_EQ(c.pos, t.text.size());
        }
    }
}

TEST(ReadString, NonStringLeavesOutputUntouched) {
    for (const std::string text : {"abc", "'a'", "1", "[\"a\"]", "\xEF\xBB\xBF\"a\""}) {
        JsonCursor c{text};
        std::string out = "stale";
        EXPECT_FALSE(ReadString(c, out));
        EXPECT_EQ(out, "stale");
    }
}

TEST(ReadStringArray, StrictStringsAppendedToTheList) {
    struct Case {
        std::string text;
        bool ok;
        std::vector<std::string> appended;
    };
    const std::vector<Case> cases = {
        {"[]", true, {}},
        {" [ \n ] ", true, {}},
        {R"(["a", "", "b\"c"])", true, {"a", "", "b\"c"}},
        {R"(["a",])", false, {"a"}},
        {R"(["a" "b"])", false, {"a"}},
        {R"(["a", 1])", false, {"a"}},
        {"[1]", false, {}},
        {"[,]", false, {}},
        {R"(["a")", false, {"a"}},
        {"[null]", false, {}},
        {R"("a")", false, {}},
        {"null", false, {}},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.text);
        JsonCursor c{t.text};
        std::vector<std::string> out = {"before"};
        EXPECT_EQ(ReadStringArray(c, out), t.ok);
        std::vector<std::string> expected = {"before"};
        expected.insert(expected.end(), t.appended.begin(), t.appended.end());
        EXPECT_EQ(out, expected);
    }
}

TEST(ReadUnsigned64, DigitsOnlyWrapsAndStopsAtTheFirstNonDigit) {
    struct Case {
        std::string text;
        bool ok;
        uint64_t value;
        uint32_t pos;
    };
    const std::vector<Case> cases = {
        {"0", true, 0, 1},
        {" 20480,", true, 20480, 6},
        {"0012", true, 12, 4},
        {"18446744073709551615", true, UINT64_MAX, 20},
        {"18446744073709551616", true, 0, 20},
        {"18446744073709551626", true, 10, 20},
        {"1.5", true, 1, 1},
        {"2e3", true, 2, 1},
        {"12abc", true, 12, 2},
        {"-1", false, 99, 0},
        {"+1", false, 99, 0},
        {"\"12\"", false, 99, 0},
        {".5", false, 99, 0},
        {"\xD9\xA1", false, 99, 0},
        {"  x", false, 99, 2},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.text);
        JsonCursor c{t.text};
        uint64_t out = 99;
        EXPECT_EQ(ReadUnsigned64(c, out), t.ok);
        EXPECT_EQ(out, t.value);
        EXPECT_EQ(c.pos, t.pos);
    }
}

TEST(SkipValue, LenientOverWhatItPassesOver) {
    struct Case {
        std::string text;
        bool ok;
        uint32_t pos;  // where the cursor stands afterwards when ok; kAll: after the whole text
    };
    constexpr uint32_t kAll = UINT32_MAX;
    const std::vector<Case> cases = {
        {R"({"th": "x", "list": [1, 2, 3]})", true, kAll},
        {"[1, 2,]", true, 7},
        {"[,]", true, 3},
        {"[,,]", true, 4},
        {R"({"a":})", true, 6},
        {R"({"a":,"b":1})", true, 12},
        {"{}", true, 2},
        {"[ ]", true, 3},
        {"tru", true, 3},
        {"nul\"l{x:[", true, kAll},
        {"-1.5e+3 ", true, 7},
        {"12\x80", true, 2},
        {"1\x01", true, 1},
        {",", true, 0},
        {"}", true, 0},
        {"]", true, 0},
        {R"("a\"b" tail)", true, 6},
        {R"({"a":1,})", false, 0},
        {"{a:1}", false, 0},
        {R"({"a" 1})", false, 0},
        {R"({"a":1)", false, 0},
        {"[1", false, 0},
        {"[1 2]", false, 0},
        {R"({"a":1 "b":2})", false, 0},
        {"\"open", false, 0},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.text);
        JsonCursor c{t.text};
        EXPECT_EQ(SkipValue(c), t.ok);
        if (t.ok) {
            EXPECT_EQ(c.pos, t.pos == kAll ? t.text.size() : t.pos);
        }
    }
}

TEST(SkipValue, NestingDeeperThanTheLimitIsRefused) {
    const int limit = kSkipDepthLimit;
    for (const auto& [open, inner, close] :
         {std::tuple<std::string, std::string, std::string>{"[", "1", "]"},
          {"{\"k\":", "null", "}"},
          {"[{\"k\":", "", "}]"}}) {
        const int perLevel = open.size() > 1 && open[0] == '[' ? 2 : 1;
        const std::string atLimit = Nested(limit / perLevel, open, inner, close);
        const std::string overLimit = Nested(limit / perLevel, open, open + inner + close, close);
        SCOPED_TRACE(open);
        JsonCursor a{atLimit};
        EXPECT_TRUE(SkipValue(a));
        EXPECT_EQ(a.pos, atLimit.size());
        JsonCursor b{overLimit};
        EXPECT_FALSE(SkipValue(b));
    }
    // A deep, unterminated text stops at the limit instead of recursing through all of it.
    const std::string hostile(1 << 20, '[');
    JsonCursor h{hostile};
    EXPECT_FALSE(SkipValue(h));
    EXPECT_LE(h.pos, static_cast<uint32_t>(limit));
}

TEST(JsonCursor, TextsBeyondThe32BitIndexAreRefused) {
    EXPECT_TRUE(CursorCanAddress(0));
    EXPECT_TRUE(CursorCanAddress(UINT32_MAX));
    if constexpr (sizeof(size_t) > sizeof(uint32_t)) {
        EXPECT_FALSE(CursorCanAddress(static_cast<size_t>(UINT32_MAX) + 1));
        EXPECT_FALSE(CursorCanAddress(SIZE_MAX));
    }
}
