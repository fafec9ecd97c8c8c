// The manifest tool on its own: digests, JSON text, name rules, removal lists and the two commands.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <string>

#include "Sha256.h"
#include "ToolTestSupport.h"

namespace {

const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(ToolSha256, KnownDigestsWholeAndInOddPieces) {
    struct Case { std::string input; std::string digest; } cases[] = {
        {"", kEmpty},
        {"abc", kAbc},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        ToolSha256 whole;
        Sha256Begin(whole);
        Sha256Add(whole, c.input.data(), c.input.size());
        EXPECT_EQ(Sha256FinishHex(whole), c.digest) << c.input.size() << " bytes at once";
        ToolSha256 pieces;
        Sha256Begin(pieces);
        for (size_t at = 0, step = 1; at < c.input.size(); at += step, step = step % 97 + 13)
            Sha256Add(pieces, c.input.data() + at, std::min(step, c.input.size() - at));
        EXPECT_EQ(Sha256FinishHex(pieces), c.digest) << c.input.size() << " bytes in pieces";
    }
}

TEST(ToolJson, EscapesWhatTheReaderDecodesAndRefusesOtherControlBytes) {
    struct Case { std::string in; bool ok; std::string out; } cases[] = {
        {"plain", true, "\"plain\""},
        {"say \"hi\"", true, "\"say \\\"hi\\\"\""},
        {"back\\slash", true, "\"back\\\\slash\""},
        {"a\nb\rc\td", true, "\"a\\nb\\rc\\td\""},
        {"a/b", true, "\"a/b\""},
        {"ไทย é", true, "\"ไทย é\""},
        {"bell\x07", false, ""},
        {std::string("nul\0x", 5), false, ""},
        {"unit\x1f", false, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(AppendJsonString(out, c.in), c.ok) << c.in;
        if (c.ok) EXPECT_EQ(out, c.out);
    }
}

TEST(ToolJson, PatcherReaderGetsBackEveryStringAndNumber) {
    std::vector<ReleaseFile> files = {
        {"a \"quoted\" name.txt", {}, 7, kAbc},
        {"ไทย/ไฟล์.dat", {}, 18446744073709551615ull, kEmpty},
    };
    std::string text, error;
    ASSERT_TRUE(ManifestText("1.2 \"beta\"\ttab\\", files, "https://cdn.example/q/", {"old\\x.dll"}, {"gone"}, text,
                             error));
    PatchManifest m;
    ASSERT_TRUE(ParseManifest(text, m)) << text;
    EXPECT_EQ(m.version, "1.2 \"beta\"\ttab\\");
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].path, files[0].path);
    EXPECT_EQ(m.files[0].url, "https://cdn.example/q/a%20%22quoted%22%20name.txt");
    EXPECT_EQ(m.files[1].size, 18446744073709551615ull);
    EXPECT_EQ(m.files[1].sha256, kEmpty);
    EXPECT_EQ(m.delete_files, std::vector<std::string>{"old\\x.dll"});
    EXPECT_EQ(m.delete_dirs, std::vector<std::string>{"gone"});
    EXPECT_EQ(text.find("\\u"), std::string::npos);
    EXPECT_TRUE(DeleteDirsNamed(text));
    ASSERT_TRUE(ManifestText("1", files, "", {"x"}, {}, text, error));
    EXPECT_FALSE(DeleteDirsNamed(text)) << text;

    std::string bad;
    EXPECT_FALSE(ManifestText("v\x01", files, "", {}, {}, bad, error));
    EXPECT_FALSE(ManifestText("v", files, "", {"x\x02"}, {}, bad, error));
}

TEST(ToolBuild, WritesExactManifestSortedByBytesAndLaysOutFiles) {
    Folder release, out;
    release.Put("b.txt", "abc");
    release.Put("Z.txt", "");
    release.Put("a/x.bin", "abc");
    release.Put("a.txt", "abc");
    release.Put("data.qpa", "");
    std::string log;
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 'v \"1\"' -o " + Quote(out.root), log), 0) << log;
    std::string expected =
        "{\n  \"version\": \"v \\\"1\\\"\",\n  \"files\": [\n"
        "    {\"path\": \"Z.txt\", \"size\": 0, \"sha256\": \"" + kEmpty + "\"},\n"
        "    {\"path\": \"a.txt\", \"size\": 3, \"sha256\": \"" + kAbc + "\"},\n"
        "    {\"path\": \"a/x.bin\", \"size\": 3, \"sha256\": \"" + kAbc + "\"},\n"
        "    {\"path\": \"b.txt\", \"size\": 3, \"sha256\": \"" + kAbc + "\"},\n"
        "    {\"path\": \"data.qpa\", \"size\": 0, \"sha256\": \"" + kEmpty + "\"}\n"
        "  ],\n  \"delete_files\": [],\n  \"delete_dirs\": []\n}\n";
    EXPECT_EQ(Slurp(out.root / "manifest.json"), expected);
    EXPECT_EQ(Slurp(out.root / "files/a/x.bin"), "abc");
    EXPECT_EQ(Slurp(out.root / "files/Z.txt"), "");
    EXPECT_FALSE(fs::exists(out.root / "manifest.json.tmp"));
    EXPECT_EQ(log.find("\rhashed"), std::string::npos) << "progress only on a terminal";

    // A file left in files/ by an earlier build does not survive the next one.
    out.Put("files/stale.bin", "x");
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 2 -o " + Quote(out.root), log), 0) << log;
    EXPECT_FALSE(fs::exists(out.root / "files/stale.bin"));
}

TEST(ToolNames, EachNameIsPublishedUnderAnAddressThatReachesItOrRefused) {
    const std::string longest(245, 'n');
    std::string thaiLong;
    for (int i = 0; i < 200; ++i) thaiLong += "ก";  // 600 bytes, 200 UTF-16 units
    struct Case { std::string name; std::string problem; std::string url; } cases[] = {
        {"plain-1_2.~txt", "", ""},
        {"(1)&x=y;z!@$',.txt", "", ""},
        {".hidden/ lead.txt", "", "files/.hidden/%20lead.txt"},
        {"a b.txt", "", "files/a%20b.txt"},
        {"#1.txt", "", "files/%231.txt"},
        {"50%off.txt", "", "files/50%25off.txt"},
        {"a+b.txt", "", "files/a%2Bb.txt"},
        {"ไทย.txt", "", "files/%E0%B9%84%E0%B8%97%E0%B8%A2.txt"},
        {"CONSOLE.txt", "", ""},
        {longest, "", ""},
        {thaiLong, "", "files/" + EscapePath(thaiLong)},
        {"what?.txt", "'?'", ""},
        {"a<b|c.txt", "'<'", ""},
        {"say\"x\".txt", "'\"'", ""},
        {"st*r", "'*'", ""},
        {"drive:x", "':'", ""},
        {"back\\slash", "backslash", ""},
        {"bell\x07.txt", "control character", ""},
        {"\xff.txt", "not valid UTF-8", ""},
        {"over\xc0\xaflong", "not valid UTF-8", ""},
        {"surrogate\xed\xa0\x80", "not valid UTF-8", ""},
        {"cut\xe0\xb8", "not valid UTF-8", ""},
        {"dot.", "ending in a dot or space", ""},
        {"space ", "ending in a dot or space", ""},
        {"dir./x", "ending in a dot or space", ""},
        {"CON", "device name CON", ""},
        {"sub/nul.txt", "device name nul", ""},
        {"COM1.log", "device name COM1", ""},
        {"lpt\xc2\xb9.txt", "device name", ""},
        {"conin$", "device name", ""},
        {"a..b", "'..'", ""},
        {"./x", "'.' folder", ""},
        {"a//b", "empty name", ""},
        {"x.dll.patch.tmp", ".patch.tmp", ""},
        {"QirellPatcher.exe.old", "deletes at every start", ""},
        {"qirellPATCHER.Exe.OLD", "deletes at every start", ""},
        {"tools/QirellPatcher.exe.old", "", ""},
        {"QirellPatcher.exe.older", "", ""},
        {"QirellPatcher.log", "support log", ""},
        {"logs/qirellpatcher.LOG.1", "support log", ""},
        {"QIRELLPATCHER-0123456789abcdef.State", "support log", ""},
        {"QirellPatcher-x.state.tmp", "support log", ""},
        {"QirellPatcher.log.2", "", ""},
        {"QirellPatcher.preload", "is or lies in QirellPatcher.preload", ""},
        {"qirellpatcher.PRELOAD/next/data.qpa", "is or lies in QirellPatcher.preload", ""},
        {"Q\xc4\xb1rellPatcher.preload", "is or lies in", ""},  // a dotless i, which Windows upper-cases to I
        {"sub/QirellPatcher.preload", "", ""},
        {"QirellPatcher.preload2", "", ""},
        {longest + "n", "longer than 245", ""},
    };
    for (const Case& c : cases) {
        std::string problem = NameProblem(c.name);
        if (c.problem.empty()) {
            EXPECT_EQ(problem, "") << c.name;
            EXPECT_EQ(FileAddress(c.name, ""), c.url) << c.name;
            // The address verify follows back to the published copy.
            ManifestFile entry{c.name, c.url.empty() ? "files/" + c.name : c.url, 0, ""};
            std::string local, why;
            EXPECT_TRUE(AddressToPublished(entry.url, c.name, "", local, why)) << c.name << ": " << why;
            EXPECT_EQ(local, "files/" + c.name);
            for (const std::string prefix : {"https://cdn.example/p/", "mirror/"}) {
                EXPECT_TRUE(AddressToPublished(FileAddress(c.name, prefix), c.name, prefix, local, why)) << why;
                EXPECT_EQ(local, "files/" + c.name);
            }
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << Printable(c.name) << " -> " << problem;
        }
    }
}

TEST(ToolNames, LetterCaseFoldsAsWindowsComparesNames) {
    struct Case { std::string a, b; bool clash; } cases[] = {
        {"readme.txt", "README.TXT", true},    {"é.txt", "É.txt", true},  {"ÿ", "Ÿ", true},
        {"ā", "Ā", true},                      {"ł", "Ł", true},          {"ǆ", "ǅ", true},
        {"σ", "Σ", true},                      {"ς", "Σ", true},          {"ά", "Ά", true},
        {"я", "Я", true},                      {"ё", "Ё", true},          {"ґ", "Ґ", true},
        {"ａ", "Ａ", true},                    {"ա", "Ա", true},          {"ạ", "Ạ", true},
        {"ไทย", "ไทย", true},                  {"ก", "ข", false},         {"é", "e\xcc\x81", false},
        {"ß", "SS", false},                    {"i", "\xc4\xb0", false},  {"a", "b", false},
    };
    for (const Case& c : cases) EXPECT_EQ(FoldCase(c.a) == FoldCase(c.b), c.clash) << c.a << " / " << c.b;
}

TEST(ToolBuild, RefusesWhatAPlayersFolderCannotHoldAndWritesNothing) {
    struct Case { std::vector<std::string> names; std::string named; } cases[] = {
        {{"ok.txt", "what?.txt"}, "what?.txt"},
        {{"ok.txt", "50%off.txt", "a<b|c.txt"}, "a<b|c.txt"},
        {{"ok.txt", "sub/con.txt"}, "sub/con.txt"},
        {{"ok.txt", "a..b.txt"}, "a..b.txt"},
        {{"ok.txt", "drive:x"}, "drive:x"},
        {{"ok.txt", "back\\slash"}, "back\\slash"},
        {{"ok.txt", "bell\x07.txt"}, "bell\\x07.txt"},
        {{"ok.txt", "bad\xff/x.txt"}, "bad\\xFF: is not valid UTF-8"},
        {{"ok.txt", "trail./x.txt"}, "trail."},
        {{"ok.txt", "qirellpatcher.EXE.old"}, "qirellpatcher.EXE.old: is the name the patcher deletes at every start"},
        {{"Readme.txt", "README.TXT"}, "differs only in letter case"},
        {{"Ärger.txt", "äRGER.txt"}, "differs only in letter case"},
        {{"Дом/a.txt", "дом/b.txt"}, "folder differs only in letter case"},
        {{"x", "X/y.txt"}, "has the name of a file"},
        {{"ok.txt", "QIRELLPATCHER.preload"}, "QIRELLPATCHER.preload: is or lies in QirellPatcher.preload"},
        {{"ok.txt", "QirellPatcher.Preload/a.bin"}, "QirellPatcher.Preload: is or lies in QirellPatcher.preload"},
    };
    for (const Case& c : cases) {
        Folder release, out;
        for (const std::string& n : c.names) release.Put(n, "1");
        std::string log;
        EXPECT_EQ(Tool("build " + Quote(release.root) + " --version 1 -o " + Quote(out.root / "site"), log), 1)
            << c.named;
        EXPECT_NE(log.find(c.named), std::string::npos) << log;
        EXPECT_TRUE(fs::is_empty(out.root)) << c.named;
    }
}

TEST(ToolBuild, LinksArePublishedAsThePlayersFolderWouldHoldThemOrRefused) {
    Folder elsewhere;
    elsewhere.Put("shared/music.ogg", "ogg");
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        std::vector<std::string> published;  // empty: refused
        std::string refusal;
    } cases[] = {
        {"file link", [](const fs::path& r) { fs::create_symlink("real.txt", r / "alias.txt"); },
         {"alias.txt", "real.txt", "sub/b.txt"}, ""},
        {"folder link", [](const fs::path& r) { fs::create_directory_symlink("sub", r / "view"); },
         {"real.txt", "sub/b.txt", "view/b.txt"}, ""},
        {"link out of the release",
         [&](const fs::path& r) { fs::create_directory_symlink(elsewhere.root / "shared", r / "music"); },
         {"music/music.ogg", "real.txt", "sub/b.txt"}, ""},
        {"broken link", [](const fs::path& r) { fs::create_symlink("nothing", r / "dead.txt"); }, {},
         "dead.txt: a link that leads nowhere"},
        {"loop to the release", [](const fs::path& r) { fs::create_directory_symlink("..", r / "sub/up"); }, {},
         "sub/up: a link back"},
        {"loop above the release",
         [](const fs::path& r) { fs::create_directory_symlink(r.parent_path(), r / "sub/top"); }, {},
         "sub/top: a link back"},
        {"link to itself", [](const fs::path& r) { fs::create_symlink("self", r / "self"); }, {}, "self: a link"},
        {"pipe", [](const fs::path& r) { mkfifo((r / "pipe").c_str(), 0600); }, {}, "pipe: not a file or folder"},
    };
    for (Case& c : cases) {
        Folder top, out;
        fs::path release = top.root / "release";
        fs::create_directories(release / "sub");
        std::ofstream(release / "real.txt") << "real";
        std::ofstream(release / "sub/b.txt") << "b";
        c.make(release);
        std::string log;
        int code = Tool("build " + Quote(release) + " --version 1 -o " + Quote(out.root / "site"), log);
        if (c.published.empty()) {
            EXPECT_EQ(code, 1) << c.what;
            EXPECT_NE(log.find(c.refusal), std::string::npos) << c.what << "\n" << log;
            EXPECT_TRUE(fs::is_empty(out.root)) << c.what;
            continue;
        }
        ASSERT_EQ(code, 0) << c.what << "\n" << log;
        PatchManifest m;
        std::string error;
        ASSERT_TRUE(ReadManifestFile(out.root / "site/manifest.json", m, error));
        std::vector<std::string> paths;
        for (const ManifestFile& f : m.files) {
            paths.push_back(f.path);
            EXPECT_FALSE(fs::is_symlink(out.root / "site/files" / f.path)) << f.path;
        }
        EXPECT_EQ(paths, c.published) << c.what;
    }
}

TEST(ToolBuild, AFolderTurnedIntoALinkLosesNothingOnPlayersMachines) {
    Folder v1, v2, out1, out2;
    v1.Put("k", "k");
    v1.Put("maps/a.map", "a");
    v1.Put("maps/b.map", "b");
    v2.Put("k", "k");
    v2.Put("store/a.map", "a");
    v2.Put("store/b.map", "b");
    fs::create_directory_symlink("store", v2.root / "maps");
    std::string log;
    ASSERT_EQ(Tool("build " + Quote(v1.root) + " --version 1 -o " + Quote(out1.root / "s"), log), 0) << log;
    ASSERT_EQ(Tool("build " + Quote(v2.root) + " --version 2 --previous " + Quote(out1.root / "s/manifest.json") +
                       " -o " + Quote(out2.root / "s"),
                   log),
              0)
        << log;
    PatchManifest m;
    std::string error;
    ASSERT_TRUE(ReadManifestFile(out2.root / "s/manifest.json", m, error));
    EXPECT_TRUE(m.delete_files.empty());
    EXPECT_TRUE(m.delete_dirs.empty());
    EXPECT_EQ(Slurp(out2.root / "s/files/maps/b.map"), "b");
}

TEST(ToolBuild, CommandLineMistakesGiveUsage) {
    Folder release, out;
    release.Put("a", "1");
    std::string log;
    const std::string r = Quote(release.root), o = Quote(out.root);
    for (const std::string& args : std::vector<std::string>{"build " + r + " -o " + o, "build --version 1 -o " + o,
                                    "build " + r + " --version 1", "build " + r + " --version 1 -o " + o + " --bogus",
                                    "build " + r + " " + r + " --version 1 -o " + o,
                                    "build " + r + " --version 1 -o " + o + " --remove-dir",
                                    "build " + r + " --version 1 -o " + o + " --remove-dir ''", "frobnicate", ""}) {
        EXPECT_EQ(Tool(args, log), 2) << args;
        EXPECT_NE(log.find("usage"), std::string::npos) << args << "\n" << log;
    }
    for (const char* args : {"--help", "build --help", "verify --help", "announce --help"}) {
        EXPECT_EQ(Tool(args, log), 0) << args;
        EXPECT_NE(log.find("usage: qirell-manifest"), std::string::npos) << args;
    }
    EXPECT_EQ(Tool("build " + r + " --version 1 --previous " + Quote(release.root / "none.json") + " -o " + o, log), 1);
    EXPECT_NE(log.find("none.json"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(out.root / "manifest.json"));
}

PatchManifest Previous(std::vector<std::string> paths, std::vector<std::string> delFiles = {},
                       std::vector<std::string> delDirs = {}) {
    PatchManifest m;
    for (auto& p : paths) m.files.push_back({p, "files/" + p, 1, kAbc});
    m.delete_files = delFiles;
    m.delete_dirs = delDirs;
    return m;
}

TEST(ToolRemovals, FilesOnlyUnlessAFolderIsNamedAndNeverTheFolderNorData) {
    struct Case {
        const char* what;
        PatchManifest previous;
        bool previousNamed;
        std::vector<std::string> current, named, files, dirs;
        std::string warning, error;
    } cases[] = {
        {"gone files, emptied folders stay", Previous({"a/b/c.txt", "a/d.txt", "keep.txt", "old/y.bin"}), false,
         {"keep.txt", "a/d.txt"}, {}, {"a/b/c.txt", "old/y.bin"}, {}, "", ""},
        {"gone trees, data in any case, leave files only", Previous({"DATA/x.bin", "data/y", "Data/sub/z", "k"}),
         false, {"k"}, {}, {"DATA/x.bin", "Data/sub/z", "data/y"}, {}, "", ""},
        {"renamed only in letter case", Previous({"Readme.TXT", "Sub/a.txt", "Ä.txt"}), false,
         {"readme.txt", "sub/A.txt", "ä.txt"}, {}, {}, {}, "", ""},
        {"a file that became a folder", Previous({"x", "k"}), false, {"k", "X/y"}, {}, {}, {}, "",
         "x: a file in the previous release and a folder in this one"},
        {"a folder that became a file", Previous({"d/e/f", "k"}), false, {"k", "D/E"}, {}, {"d/e/f"}, {}, "",
         "d/e: a folder in the previous release (d/e/f) and a file in this one"},
        {"named folders, resolved as Windows does", Previous({"k"}), false, {"k"},
         {"old/cache/", "./logs", "tmp. ", "Old\\Cache"}, {}, {"logs", "old/cache", "tmp"}, "", ""},
        {"the folder itself", Previous({"k"}), false, {"k"}, {"./."}, {}, {}, "", "the game folder itself"},
        {"data", Previous({"k"}), false, {"k"}, {"DATA."}, {}, {}, "", "data folder"},
        {"data below a dot", Previous({"k"}), false, {"k"}, {"./data/"}, {}, {}, "", "data folder"},
        {"outside the folder", Previous({"k"}), false, {"k"}, {"../x"}, {}, {}, "", "path rule"},
        {"a folder holding a release file", Previous({"k"}), false, {"k", "Maps/a.map"}, {"maps"}, {}, {}, "",
         "holds Maps/a.map"},
        {"earlier removals carried on", Previous({"k"}, {"older.dll", "back.txt"}, {"olddir/", "Back"}), true,
         {"k", "back.txt", "back/x"}, {}, {"older.dll"}, {"olddir"}, "Back: holds back/x", ""},
        {"unnamed earlier folders dropped", Previous({"k"}, {}, {"gone"}), false, {"k"}, {}, {}, {},
         "gone: not named", ""},
        {"named earlier data dropped", Previous({"k"}, {}, {"Data"}), true, {"k"}, {}, {}, {}, "Data: is the client", ""},
        {"the staging folder", Previous({"k"}, {"qirellpatcher.preload/x.bin"}), false, {"k"},
         {"QirellPatcher.Preload/"}, {}, {}, "qirellpatcher.preload/x.bin: is or lies in",
         "--remove-dir QirellPatcher.Preload/: is or lies in QirellPatcher.preload"},
        {"unsafe names of the previous manifest dropped", Previous({"k", "../evil", "c:x"}, {"/abs", "a?b"}), false,
         {"k"}, {}, {}, {}, "a?b", ""},
    };
    for (Case& c : cases) {
        Removals r;
        ComputeRemovals(c.previous, c.previousNamed, c.current, c.named, r);
        EXPECT_EQ(r.deleteFiles, c.files) << c.what;
        EXPECT_EQ(r.deleteDirs, c.dirs) << c.what;
        std::string warnings, errors;
        for (auto& w : r.warnings) warnings += w + "\n";
        for (auto& e : r.errors) errors += e + "\n";
        if (c.warning.empty()) EXPECT_EQ(warnings.find("delete_dirs"), std::string::npos) << c.what << warnings;
        else EXPECT_NE(warnings.find(c.warning), std::string::npos) << c.what << "\n" << warnings;
        if (c.error.empty()) EXPECT_EQ(errors, "") << c.what;
        else EXPECT_NE(errors.find(c.error), std::string::npos) << c.what << "\n" << errors;
    }
}

TEST(ToolBuild, PreviousCarriesNamedFoldersAndGoneFiles) {
    Folder v1, v2, v3, out;
    v1.Put("data.qpa", "1");
    v1.Put("old/legacy.dll", "x");
    v1.Put("data/keep.bin", "k");
    v1.Put("data/gone.bin", "g");
    v2.Put("data.qpa", "2");
    v2.Put("data/keep.bin", "k");
    v3.Put("data.qpa", "3");
    v3.Put("data/keep.bin", "k");
    v3.Put("cache/new.bin", "n");
    std::string log;
    const fs::path p1 = out.root / "p1", p2 = out.root / "p2", p3 = out.root / "p3";
    ASSERT_EQ(Tool("build " + Quote(v1.root) + " --version 1 -o " + Quote(p1), log), 0) << log;
    ASSERT_EQ(Tool("build " + Quote(v2.root) + " --version 2 --previous " + Quote(p1 / "manifest.json") +
                       " --remove-dir old --remove-dir 'cache/' -o " + Quote(p2),
                   log),
              0)
        << log;
    std::string text = Slurp(p2 / "manifest.json");
    EXPECT_NE(text.find("\"delete_files\": [\n    \"data/gone.bin\",\n    \"old/legacy.dll\"\n  ],\n"
                        "  \"delete_dirs\": [\n    \"cache\",\n    \"old\"\n  ],\n  \"delete_dirs_named\": true\n}"),
              std::string::npos)
        << text;
    // The next release carries the named folders, except the one that holds its files again.
    ASSERT_EQ(Tool("build " + Quote(v3.root) + " --version 3 --previous " + Quote(p2 / "manifest.json") + " -o " +
                       Quote(p3),
                   log),
              0)
        << log;
    PatchManifest m;
    std::string error;
    ASSERT_TRUE(ReadManifestFile(p3 / "manifest.json", m, error));
    EXPECT_EQ(m.delete_dirs, std::vector<std::string>{"old"});
    EXPECT_EQ(m.delete_files, (std::vector<std::string>{"data/gone.bin", "old/legacy.dll"}));
    EXPECT_NE(log.find("cache: holds cache/new.bin"), std::string::npos) << log;

    EXPECT_EQ(Tool("build " + Quote(v3.root) + " --version 3 --remove-dir data -o " + Quote(p3), log), 1);
    EXPECT_NE(log.find("--remove-dir data: is the client's data folder"), std::string::npos) << log;
}

// Every file below root with its bytes, links as their targets.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> all;
    for (auto& e : fs::recursive_directory_iterator(root))
        all[PathToUtf8(fs::relative(e.path(), root))] = e.is_regular_file() ? Slurp(e.path()) : "<folder>";
    return all;
}

TEST(ToolBuild, AFailedBuildLeavesThePreviousOutputByteForByte) {
    Folder release, out;
    release.Put("a.txt", "a");
    release.Put("sub/b.txt", "b");
    std::string log;
    const fs::path site = out.root / "site";
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 -o " + Quote(site), log), 0) << log;
    const auto before = Snapshot(out.root);
    struct Case { const char* what; std::function<void()> spoil; std::string args, reported; } cases[] = {
        // Read errors part-way through the copy: the kernel refuses to read this file at offset 0.
        {"a file that cannot be read", [&] { fs::create_symlink("/proc/self/mem", release.root / "z.bin"); }, "",
         "z.bin"},
        {"a name refused", [&] { release.Put("q?.txt", "q"); }, "", "q?.txt"},
        {"a removal refused", [] {}, " --remove-dir .", "the game folder itself"},
        {"something else in the output", [&] { std::ofstream(site / "index.html") << "x"; }, "", "index.html"},
    };
    for (Case& c : cases) {
        c.spoil();
        std::map<std::string, std::string> now = Snapshot(out.root);
        EXPECT_NE(Tool("build " + Quote(release.root) + " --version 2" + c.args + " -o " + Quote(site), log), 0)
            << c.what;
        EXPECT_NE(log.find(c.reported), std::string::npos) << c.what << "\n" << log;
        EXPECT_EQ(Snapshot(out.root), now) << c.what;
        fs::remove(release.root / "z.bin");
        fs::remove(release.root / "q?.txt");
        fs::remove(site / "index.html");
    }
    EXPECT_EQ(Snapshot(out.root), before);
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 2 -o " + Quote(site), log), 0) << log;
    EXPECT_NE(Slurp(site / "manifest.json").find("\"version\": \"2\""), std::string::npos);
    EXPECT_EQ(Snapshot(out.root).size(), before.size()) << "no staging folder left beside the output";
}

TEST(ToolBuild, OutputInsideTheReleaseIsNotListedAndTheReverseIsRefused) {
    Folder release;
    release.Put("game.dat", "abc");
    std::string log;
    fs::path out = release.root / "publish";
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 -o " + Quote(out), log), 0) << log;
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 2 -o " + Quote(out), log), 0) << log;
    PatchManifest m;
    std::string error;
    ASSERT_TRUE(ReadManifestFile(out / "manifest.json", m, error));
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].path, "game.dat");

    EXPECT_EQ(Tool("build " + Quote(out / "files") + " --version 3 -o " + Quote(out), log), 2) << log;
}

void WriteManifest(const fs::path& out, const std::string& files, const std::string& extra = "") {
    std::ofstream(out / "manifest.json") << "{\"version\": \"x\", \"files\": [" + files + "]" + extra + "}";
}

std::string Entry(const std::string& path, const std::string& url = "", const std::string& sha = kAbc) {
    return "{\"path\": \"" + path + "\"" + (url.empty() ? "" : ", \"url\": \"" + url + "\"") +
           ", \"size\": 3, \"sha256\": \"" + sha + "\"}";
}

TEST(ToolVerify, FindsWhatPlayersWouldTripOver) {
    Folder release;
    release.Put("data.qpa", "archive");
    release.Put("sub/a.txt", "abc");
    auto put = [](const fs::path& o, const std::string& rel) {
        fs::create_directories((o / Utf8ToPath(rel)).parent_path());
        std::ofstream(o / Utf8ToPath(rel)) << "abc";
    };
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> spoil;
        std::string reported;
    } cases[] = {
        {"nothing", [](const fs::path&) {}, ""},
        {"missing", [](const fs::path& o) { fs::remove(o / "files/sub/a.txt"); }, "sub/a.txt: missing"},
        {"longer", [](const fs::path& o) { std::ofstream(o / "files/data.qpa", std::ios::app) << "!"; },
         "data.qpa: size 8, manifest says 7"},
        {"same size, other bytes", [](const fs::path& o) { std::ofstream(o / "files/sub/a.txt") << "abd"; },
         "sub/a.txt: SHA-256"},
        {"a folder in its place",
         [](const fs::path& o) {
             fs::remove(o / "files/sub/a.txt");
             fs::create_directory(o / "files/sub/a.txt");
         },
         "sub/a.txt: not a regular file"},
        {"broken manifest", [](const fs::path& o) { std::ofstream(o / "manifest.json") << "{\"files\": [}"; },
         "not a valid manifest"},
        {"no manifest", [](const fs::path& o) { fs::remove(o / "manifest.json"); }, "cannot be read"},
        {"unsafe entry", [](const fs::path& o) { WriteManifest(o, Entry("../x")); }, "../x: holds '..'"},
        {"name Windows cannot hold", [&](const fs::path& o) { put(o, "files/what"); WriteManifest(o, Entry("what?.txt")); },
         "what?.txt: holds '?'"},
        {"default address with a space", [&](const fs::path& o) { put(o, "files/a b"); WriteManifest(o, Entry("a b")); },
         "a b: address files/a b holds ' ' unescaped"},
        {"address cut at '#'", [&](const fs::path& o) { put(o, "files/n#1"); WriteManifest(o, Entry("n#1")); },
         "the server sees only files/n"},
        {"bad escape", [&](const fs::path& o) { put(o, "files/50%off"); WriteManifest(o, Entry("50%off")); },
         "bad escape at '%of'"},
        {"explicit address elsewhere",
         [&](const fs::path& o) { put(o, "blobs/x y"); WriteManifest(o, Entry("x", "blobs/x%20y")); }, ""},
        {"explicit address missing", [&](const fs::path& o) { WriteManifest(o, Entry("x", "blobs/x%20z")); },
         "x: missing (blobs/x z)"},
        {"address out of the folder", [&](const fs::path& o) { WriteManifest(o, Entry("x", "files/../../x")); },
         "leaves the published folder"},
        {"absolute address not ending in the path",
         [&](const fs::path& o) { put(o, "files/x"); WriteManifest(o, Entry("x", "https://cdn.example/y")); },
         "does not end in the file's path"},
        {"case clash", [&](const fs::path& o) { put(o, "files/é"); put(o, "files/É");
             WriteManifest(o, Entry("é") + "," + Entry("É")); }, "differs only in letter case"},
        {"the patcher's leftover name", [&](const fs::path& o) { put(o, "files/QIRELLPATCHER.exe.old");
             WriteManifest(o, Entry("QIRELLPATCHER.exe.old")); }, "QIRELLPATCHER.exe.old: is the name the patcher deletes"},
        {"listed twice", [&](const fs::path& o) { put(o, "files/x"); WriteManifest(o, Entry("x") + "," + Entry("x")); },
         "x: listed twice"},
        {"removing the folder itself", [&](const fs::path& o) { put(o, "files/x");
             WriteManifest(o, Entry("x"), ", \"delete_dirs\": [\"./\"]"); }, "delete_dirs: ./: names the game folder itself or data"},
        {"removing data", [&](const fs::path& o) { put(o, "files/x");
             WriteManifest(o, Entry("x"), ", \"delete_dirs\": [\"Data.\"]"); }, "delete_dirs: Data.: names the game folder"},
        {"removing the staging folder", [&](const fs::path& o) { put(o, "files/x");
             WriteManifest(o, Entry("x"), ", \"delete_files\": [\"QirellPatcher.preload/a\"]"); },
         "delete_files: QirellPatcher.preload/a: is or lies in QirellPatcher.preload"},
        {"removal the patcher refuses", [&](const fs::path& o) { put(o, "files/x");
             WriteManifest(o, Entry("x"), ", \"delete_files\": [\"c:/x\"]"); }, "delete_files: c:/x: the patcher refuses it"},
        {"removing a listed file", [&](const fs::path& o) { put(o, "files/sub/x");
             WriteManifest(o, Entry("sub/x"), ", \"delete_files\": [\"SUB/X\"], \"delete_dirs\": [\"sub\"]"); },
         "delete_dirs: sub: removes a listed file"},
    };
    for (Case& c : cases) {
        Folder out;
        std::string log;
        ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 -o " + Quote(out.root), log), 0) << log;
        c.spoil(out.root);
        int code = Tool("verify " + Quote(out.root), log);
        if (c.reported.empty()) {
            EXPECT_EQ(code, 0) << c.what << "\n" << log;
        } else {
            EXPECT_EQ(code, 1) << c.what;
            EXPECT_NE(log.find(c.reported), std::string::npos) << c.what << "\n" << log;
        }
    }
}

TEST(ToolVerify, PrefixedAddressesAreCheckedInTheLocalFilesFolder) {
    Folder release, out;
    release.Put("big/asset 1.bin", "abc");
    std::string log;
    const std::string prefix = " --url-prefix https://cdn.example/p/";
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1" + prefix + " -o " + Quote(out.root), log), 0) << log;
    EXPECT_NE(Slurp(out.root / "manifest.json").find("\"url\": \"https://cdn.example/p/big/asset%201.bin\""),
              std::string::npos);
    EXPECT_EQ(Tool("verify " + Quote(out.root), log), 0) << log;
    EXPECT_EQ(Tool("verify " + Quote(out.root) + prefix, log), 0) << log;
    EXPECT_EQ(Tool("verify " + Quote(out.root) + " --url-prefix https://other.example/", log), 1) << log;
    EXPECT_NE(log.find("not under the --url-prefix"), std::string::npos) << log;
    std::ofstream(out.root / "files/big/asset 1.bin") << "abcd";
    EXPECT_EQ(Tool("verify " + Quote(out.root) + prefix, log), 1) << log;
}

}  // namespace

namespace {

// build of release with the given options into out; the tool's exit code, its output in log.
int BuildWith(const Folder& release, const std::string& options, const Folder& out, std::string& log) {
    return Tool("build " + Quote(release.root) + " --version 1 " + options + " -o " + Quote(out.root), log);
}

}  // namespace

TEST(ToolBuild, DownloadOptionsAreWrittenOnlyWhenAskedAndReadBackByThePatcher) {
    Folder release;
    release.Put("a.bin", "abc");
    const struct {
        std::string options;
        int exit;
        bool member;
        unsigned connections;
        bool resume;
    } cases[] = {
        {"", 0, false, 1, false},
        {"--connections 1", 0, false, 1, false},
        {"--connections 4", 0, true, 4, false},
        {"--resume", 0, true, 1, true},
        {"--connections 8 --resume", 0, true, 8, true},
        {"--connections 0", 2, false, 1, false},
        {"--connections 9", 2, false, 1, false},
        {"--connections 04", 2, false, 1, false},
        {"--connections x", 2, false, 1, false},
        {"--connections", 2, false, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        Folder out;
        std::string log;
        ASSERT_EQ(BuildWith(release, c.options, out, log), c.exit) << log;
        if (c.exit != 0) {
            EXPECT_FALSE(fs::exists(out.root / "manifest.json"));
            continue;
        }
        const std::string text = Slurp(out.root / "manifest.json");
        EXPECT_EQ(text.find("\"download\"") != std::string::npos, c.member) << text;
        PatchManifest m;
        ASSERT_TRUE(ParseManifest(text, m)) << text;
        EXPECT_EQ(m.connections, c.connections);
        EXPECT_EQ(m.resume, c.resume);
        EXPECT_EQ(m.files.size(), 1u);
    }
}

TEST(ToolBuild, WarnsOfAFileOverTwoGiBPublishedWithoutResume) {
    // Sparse files, and a removal the build refuses after its warnings, before it copies anything.
    const struct {
        uint64_t size;
        std::string options;
        bool warned;
    } cases[] = {{2147483647, "", false},
                 {2147483648, "", true},
                 {2147483648, "--resume", false},
                 {4 * 2147483647ull, "--resume", false},
                 {4 * 2147483647ull + 1, "--resume", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " " + c.options);
        Folder release, out;
        release.Put("small.txt", "x");
        fs::resize_file(release.Put("big.pak", ""), c.size);
        std::string log;
        EXPECT_EQ(Tool("build " + Quote(release.root) + " --version 1 " + c.options + " --remove-dir . -o " +
                           Quote(out.root / "site"),
                       log),
                  1);
        EXPECT_EQ(log.find("warning: big.pak: " + std::to_string(c.size) + " bytes") != std::string::npos, c.warned)
            << log;
        EXPECT_TRUE(fs::is_empty(out.root));
    }
}

TEST(ToolMirrors, BuildWritesTheListInOrderAndVerifyChecksEachBaseWithoutFetching) {
    Folder release;
    release.Put("a.bin", "abc");
    const struct {
        std::string options;
        int exit;
        std::vector<std::string> mirrors;
    } cases[] = {
        {"", 0, {}},
        {"--mirror https://cdn-a.example/qx/ --mirror http://cdn-b.example:8080/qx/1.1/", 0,
         {"https://cdn-a.example/qx/", "http://cdn-b.example:8080/qx/1.1/"}},
        {"--mirror https://cdn-a.example/qx", 2, {}},
        {"--mirror https://cdn-a.example", 2, {}},
        {"--mirror ftp://cdn-a.example/qx/", 2, {}},
        {"--mirror 'https://cdn-a.example/qx/?k=1'", 2, {}},
        {"--mirror", 2, {}},
        {"--mirror http://m/1/ --mirror http://m/2/ --mirror http://m/3/ --mirror http://m/4/ --mirror http://m/5/ "
         "--mirror http://m/6/ --mirror http://m/7/ --mirror http://m/8/ --mirror http://m/9/",
         2, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        Folder out;
        std::string log;
        ASSERT_EQ(BuildWith(release, c.options, out, log), c.exit) << log;
        if (c.exit != 0) continue;
        const std::string text = Slurp(out.root / "manifest.json");
        EXPECT_EQ(text.find("\"mirrors\"") != std::string::npos, !c.mirrors.empty()) << text;
        PatchManifest m;
        ASSERT_TRUE(ParseManifest(text, m)) << text;
        EXPECT_EQ(m.mirrors, c.mirrors);
        EXPECT_EQ(Tool("verify " + Quote(out.root) + " --mirrors", log), 0) << log;
    }

    // A list written by hand: verify names each base a patcher could not use, and fetches nothing.
    Folder out;
    std::string log;
    ASSERT_EQ(BuildWith(release, "", out, log), 0) << log;
    std::string text = Slurp(out.root / "manifest.json");
    text.insert(text.rfind("\n}"), ",\n  \"mirrors\": [\"https://ok.example/qx/\", \"https://no-folder.example/qx\", "
                                   "\"ftp://other.example/qx/\", \"https://q.example/qx/?t=1\"]");
    out.Put("manifest.json", text);
    EXPECT_EQ(Tool("verify " + Quote(out.root), log), 0) << log;
    EXPECT_EQ(Tool("verify " + Quote(out.root) + " --mirrors", log), 1) << log;
    EXPECT_EQ(log.find("ok.example"), std::string::npos) << log;
    for (const char* bad : {"no-folder.example", "ftp://other.example", "q.example"})
        EXPECT_NE(log.find(std::string("mirrors: ") + (bad[0] == 'f' ? "" : "https://") + bad), std::string::npos)
            << bad << "\n" << log;
}
