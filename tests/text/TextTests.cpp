#include <gtest/gtest.h>

#include "text/Text.h"
#include "text/Utf8.h"

TEST(Utf8ToWide, ConvertsThaiAndEmpty) {
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("\xE0\xB8\x81"), L"\u0E01");
    EXPECT_EQ(Utf8ToWide("a\0b"), L"a");
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Utf8ToWide, InvalidBytesBecomeReplacementCharacters) {
    std::wstring w = Utf8ToWide("a\xFF" "b");
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0], L'a');
    EXPECT_EQ(w[1], 0xFFFD);
    EXPECT_EQ(w[2], L'b');
}

TEST(ToLocalPath, TurnsSlashesOnlyAndKeepsEverythingElse) {
    EXPECT_EQ(ToLocalPath("data/sprite//npc.spr"), L"data\\sprite\\\\npc.spr");
    EXPECT_EQ(ToLocalPath("./a b/ x\\y/"), L".\\a b\\ x\\y\\");
}

TEST(AsciiLower, ChangesOnlyAsciiCapitals) {
    EXPECT_EQ(AsciiLower("ABCxyz@[Z"), "abcxyz@[z");
    std::string thai = "\xE0\xB8\x81\xC3\x84";  // U+0E01, U+00C4: bytes stay as they are
    EXPECT_EQ(AsciiLower(thai), thai);
}

TEST(WideToUtf8, RoundTripsThaiAndPairsAndReplacesLoneSurrogates) {
    const struct {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"", ""},
        {L"https://a/\u0e44\u0e1f\u0e25\u0e4c", "https://a/\xe0\xb9\x84\xe0\xb8\x9f\xe0\xb8\xa5\xe0\xb9\x8c"},
        {std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xf0\x9f\x98\x80"},
        {std::wstring{L'a', wchar_t(0xD83D), L'b'}, "a\xef\xbf\xbd" "b"},
        {std::wstring{wchar_t(0xDE00)}, "\xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
        if (c.utf8.find("\xef\xbf\xbd") == std::string::npos) EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
    }
}
