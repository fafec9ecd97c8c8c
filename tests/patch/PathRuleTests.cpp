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

TEST(IsSafeRelativePath, RefusesDeviceNamesInAnyComponent) {
    for (const char* p : {"CON", "nul", "NUL.txt", "a/aux.dat", "com1", "LPT9.log", "dir\\Prn", "con .txt",
                          "conout$", "a/nul/b"})
        EXPECT_FALSE(IsSafeRelativePath(p)) << p;
    for (const char* p : {"console.txt", "com10", "com0", "lpt", "nullable/x", "a/connect.dat", "auxiliary"})
        EXPECT_TRUE(IsSafeRelativePath(p)) << p;
}
