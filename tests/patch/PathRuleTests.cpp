#include <gtest/gtest.h>

#include "patch/PathRule.h"

TEST(IsSafeRelativePath, RefusesWhatCouldLeaveTheFolder) {
    for (const char* p : {"", "/x", "\\x", "C:x", "c:\\x", "a/../b", "..", "a..b", "file.txt:stream", "x/.."})
        EXPECT_FALSE(IsSafeRelativePath(p)) << p;
}

TEST(IsSafeRelativePath, AcceptsOrdinaryRelativePaths) {
    for (const char* p : {"a", "data/texture\\a.bmp", "./a.txt", "dir/", " spaced name ", ".hidden",
                          "\xE0\xB8\x81.txt", "data/", "./data"})
        EXPECT_TRUE(IsSafeRelativePath(p)) << p;
}
