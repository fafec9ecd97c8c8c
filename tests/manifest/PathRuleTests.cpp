#include <gtest/gtest.h>

#include "manifest/PathRule.h"

TEST(IsSafeRelativePath, RefusesWhatCouldLeaveTheFolder) {
    for (const char* p : {"", "/x", "\\x", "C:x", "c:\\x", "a/../b", "..", "a..b", "file.txt:stream", "x/.."})
        EXPECT_FALSE(IsSafeRelativePath(p)) << p;
}

TEST(IsSafeRelativePath, AcceptsOrdinaryRelativePaths) {
    for (const char* p : {"a", "data/texture\\a.bmp", "./a.txt", "dir/", " spaced name ", ".hidden",
                          "\xE0\xB8\x81.txt", "data/", "./data", ". "})
        EXPECT_TRUE(IsSafeRelativePath(p)) << p;
}

TEST(IsSafeRelativePath, RefusesDeviceNamesInAnyComponent) {
    for (const char* p : {"CON", "nul", "NUL.txt", "a/aux.dat", "com1", "LPT9.log", "dir\\Prn", "con .txt",
                          "conout$", "a/nul/b"})
        EXPECT_FALSE(IsSafeRelativePath(p)) << p;
    for (const char* p : {"console.txt", "com10", "com0", "lpt", "nullable/x", "a/connect.dat", "auxiliary"})
        EXPECT_TRUE(IsSafeRelativePath(p)) << p;
}

TEST(ResolveRelativePath, GivesThePathWindowsOpens) {
    struct Case {
        const char* path;
        const char* resolved;
    };
    const Case cases[] = {
        {"a", "a"},
        {"data/texture\\a.bmp", "data/texture/a.bmp"},
        {"./a.txt", "a.txt"},
        {"dir/", "dir"},
        {"a//b\\\\c", "a/b/c"},
        {"a/./b/.", "a/b"},
        {"name. . ", "name"},
        {"a. /b ", "a/b"},
        {" lead", " lead"},
        {".hidden", ".hidden"},
        {"data.", "data"},
        {"DATA\\", "DATA"},
        {"x/../y", "y"},
        {"x/.. /y", "y"},
        {"\xE0\xB8\x81.txt", "\xE0\xB8\x81.txt"},
        // The folder itself or nothing at all.
        {"", ""},
        {".", ""},
        {"./", ""},
        {".\\", ""},
        {"./.", ""},
        {"//", ""},
        {". . .", ""},
        {" ", ""},
        {"...", ""},
        {"x/..", ""},
        {"..", ""},
        {"../x", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(ResolveRelativePath(c.path), c.resolved) << "[" << c.path << "]";
    // A Win32 path ends at its first NUL.
    EXPECT_EQ(ResolveRelativePath(std::string("a\0/b", 4)), "a");
    EXPECT_EQ(ResolveRelativePath(std::string(".\0x", 3)), "");
}

TEST(IsRemovableEntry, NeverTheFolderNorTheDataDirectory) {
    for (const char* p : {".", "./", ".\\", "./.", ".//.\\", ". ", " .", "./. . /", "data", "Data", "DATA",
                          "data/", "./data", "data.", "data ", "DATA\\", "data/.", "./DaTa. /", "x/../data",
                          "", "/", "..", "../x", "C:", "nul", "a/../b",
                          "QirellPatcher.preload", "qirellpatcher.PRELOAD/", "./QirellPatcher.preload. /x",
                          "a/../QirellPatcher.preload/abc"})
        EXPECT_FALSE(IsRemovableEntry(p)) << "[" << p << "]";
    EXPECT_FALSE(IsRemovableEntry(std::string(".\0x", 3)));
    EXPECT_FALSE(IsRemovableEntry(std::string("data\0x", 6)));
    for (const char* p : {"old/cache", "data/old.bmp", "./data/sprite", "data.qpa", "data2", "datas/", "savedata",
                          "x/data", "tree", "dir/", " spaced ", "QirellPatcher.preload2", "x/QirellPatcher.preload"})
        EXPECT_TRUE(IsRemovableEntry(p)) << "[" << p << "]";
}
