// The manifest tool on its own: digests, JSON text, name rules, removal lists and the two commands.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sys/wait.h>
#include <random>
#include <string>

#include "Sha256.h"
#include "Tool.h"

namespace {

struct Folder {
    fs::path root;
    Folder() {
        static int counter = 0;
        root = fs::temp_directory_path() /
               ("qirell-tool-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path Put(const std::string& rel, const std::string& bytes) const {
        fs::path p = root / Utf8ToPath(rel);
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
};

std::string Slurp(const fs::path& p) {
    std::string s;
    EXPECT_TRUE(ReadWholeFile(p, s)) << p;
    return s;
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// Runs the built tool; returns its exit code, stdout+stderr in output.
int Tool(const std::string& args, std::string& output) {
    fs::path log = fs::temp_directory_path() / ("qirell-tool-log-" + std::to_string(std::random_device{}()));
    std::string cmd = std::string("'") + QIRELL_TOOL_PATH + "' " + args + " >" + Quote(log) + " 2>&1";
    int status = std::system(cmd.c_str());
    output = Slurp(log);
    fs::remove(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    EXPECT_EQ(m.files[0].url, "https://cdn.example/q/" + files[0].path);
    EXPECT_EQ(m.files[1].size, 18446744073709551615ull);
    EXPECT_EQ(m.files[1].sha256, kEmpty);
    EXPECT_EQ(m.delete_files, std::vector<std::string>{"old\\x.dll"});
    EXPECT_EQ(m.delete_dirs, std::vector<std::string>{"gone"});
    EXPECT_EQ(text.find("\\u"), std::string::npos);

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

TEST(ToolBuild, RefusesNamesThePatcherPassesOverAndCaseClashes) {
    struct Case { std::vector<std::string> names; std::string named; } cases[] = {
        {{"ok.txt", "a..b.txt"}, "a..b.txt"},
        {{"ok.txt", "sub/con.txt"}, "sub/con.txt"},
        {{"ok.txt", "drive:x"}, "drive:x"},
        {{"ok.txt", "back\\slash"}, "back\\slash"},
        {{"ok.txt", "bell\x07.txt"}, "bell\x07.txt"},
        {{"Readme.txt", "README.TXT"}, "differs only in letter case"},
        {{"Dir/a.txt", "dir/b.txt"}, "folder differs only in letter case"},
        {{"x", "X/y.txt"}, "has the name of a file"},
    };
    for (const Case& c : cases) {
        Folder release, out;
        for (const std::string& n : c.names) release.Put(n, "1");
        std::vector<ReleaseFile> files;
        std::vector<std::string> errors;
        EXPECT_FALSE(ScanRelease(release.root, {}, files, errors)) << c.named;
        std::string all;
        for (const std::string& e : errors) all += e + "\n";
        EXPECT_NE(all.find(c.named), std::string::npos) << all;

        std::string log;
        EXPECT_EQ(Tool("build " + Quote(release.root) + " --version 1 -o " + Quote(out.root), log), 1) << c.named;
        EXPECT_NE(log.find(c.named), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(out.root / "manifest.json")) << c.named;
    }
}

TEST(ToolBuild, CommandLineMistakesGiveUsage) {
    Folder release, out;
    release.Put("a", "1");
    std::string log;
    const std::string r = Quote(release.root), o = Quote(out.root);
    for (const std::string& args : std::vector<std::string>{"build " + r + " -o " + o, "build --version 1 -o " + o,
                                    "build " + r + " --version 1", "build " + r + " --version 1 -o " + o + " --bogus",
                                    "build " + r + " " + r + " --version 1 -o " + o, "frobnicate", ""}) {
        EXPECT_EQ(Tool(args, log), 2) << args;
        EXPECT_NE(log.find("usage"), std::string::npos) << args << "\n" << log;
    }
    for (const char* args : {"--help", "build --help", "verify --help"}) {
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

TEST(ToolRemovals, ListsWhatIsGoneButNeverDataNorWhatLivesOnInAnotherCase) {
    struct Case {
        const char* what;
        PatchManifest previous;
        std::vector<std::string> current, files, dirs;
    } cases[] = {
        {"file and its emptied folders", Previous({"a/b/c.txt", "a/d.txt", "keep.txt"}), {"keep.txt", "a/d.txt"},
         {"a/b/c.txt"}, {"a/b"}},
        {"only the top folder of a gone tree", Previous({"old/cache/x.bin", "old/y.bin", "k"}), {"k"},
         {"old/cache/x.bin", "old/y.bin"}, {"old"}},
        {"data in any case stays", Previous({"DATA/x.bin", "data/y", "Data/sub/z", "k"}), {"k"},
         {"DATA/x.bin", "Data/sub/z", "data/y"}, {"Data/sub"}},
        {"renamed only in case", Previous({"Readme.TXT", "Sub/a.txt"}), {"readme.txt", "sub/A.txt"}, {}, {}},
        {"a file that became a folder", Previous({"x", "k"}), {"k", "X/y"}, {}, {}},
        {"earlier removals carried on", Previous({"k"}, {"older.dll", "back.txt"}, {"olddir/", "Back"}),
         {"k", "back.txt", "back/x"}, {"older.dll"}, {"olddir"}},
        {"unsafe names of the previous manifest dropped", Previous({"k", "../evil", "c:x"}, {"/abs"}, {"a..b"}),
         {"k"}, {}, {}},
    };
    for (Case& c : cases) {
        std::vector<std::string> files, dirs;
        ComputeRemovals(c.previous, c.current, files, dirs);
        EXPECT_EQ(files, c.files) << c.what;
        EXPECT_EQ(dirs, c.dirs) << c.what;
    }
}

TEST(ToolBuild, PreviousManifestFillsTheRemovalLists) {
    Folder v1, v2, out1, out2;
    v1.Put("data.qpa", "1");
    v1.Put("old/legacy.dll", "x");
    v1.Put("data/keep.bin", "k");
    v1.Put("data/gone.bin", "g");
    v2.Put("data.qpa", "2");
    v2.Put("data/keep.bin", "k");
    std::string log;
    ASSERT_EQ(Tool("build " + Quote(v1.root) + " --version 1 -o " + Quote(out1.root), log), 0) << log;
    ASSERT_EQ(Tool("build " + Quote(v2.root) + " --version 2 --previous " + Quote(out1.root / "manifest.json") +
                       " -o " + Quote(out2.root),
                   log),
              0)
        << log;
    std::string text = Slurp(out2.root / "manifest.json");
    EXPECT_NE(text.find("\"delete_files\": [\n    \"data/gone.bin\",\n    \"old/legacy.dll\"\n  ]"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"delete_dirs\": [\n    \"old\"\n  ]"), std::string::npos) << text;
}

TEST(ToolVerify, FindsEachKindOfDifference) {
    Folder release;
    release.Put("data.qpa", "archive");
    release.Put("sub/a.txt", "abc");
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
        {"unsafe entry",
         [](const fs::path& o) {
             std::ofstream(o / "manifest.json") << "{\"files\": [{\"path\": \"../x\", \"sha256\": \"" + kAbc + "\"}]}";
         },
         "../x: is not a safe relative path"},
    };
    for (Case& c : cases) {
        Folder out;
        std::string log;
        ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 -o " + Quote(out.root), log), 0) << log;
        c.spoil(out.root);
        int code = Tool("verify " + Quote(out.root), log);
        if (c.reported.empty()) {
            EXPECT_EQ(code, 0) << log;
        } else {
            EXPECT_EQ(code, 1) << c.what;
            EXPECT_NE(log.find(c.reported), std::string::npos) << c.what << "\n" << log;
        }
    }
}

TEST(ToolVerify, PrefixedAddressesAreCheckedInTheLocalFilesFolder) {
    Folder release, out;
    release.Put("big/asset.bin", "abc");
    std::string log;
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 --url-prefix https://cdn.example/p/ -o " +
                       Quote(out.root),
                   log),
              0)
        << log;
    EXPECT_NE(Slurp(out.root / "manifest.json").find("\"url\": \"https://cdn.example/p/big/asset.bin\""),
              std::string::npos);
    EXPECT_EQ(Tool("verify " + Quote(out.root), log), 0) << log;
    std::ofstream(out.root / "files/big/asset.bin") << "abcd";
    EXPECT_EQ(Tool("verify " + Quote(out.root), log), 1) << log;
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
        ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 " + c.options + " -o " + Quote(out.root), log),
                  c.exit)
            << log;
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
