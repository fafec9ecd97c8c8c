#include <gtest/gtest.h>

#include "text/Text.h"

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
