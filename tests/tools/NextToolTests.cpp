// The next release: its options and member (build, announce), and verify following it.
#include <gtest/gtest.h>

#include <functional>

#include "ToolTestSupport.h"
#include "trust/Sequence.h"

namespace {

TEST(ToolNext, AddressRule) {
    const struct {
        std::string url, problem;  // problem: empty when taken
    } cases[] = {
        {"../next/manifest.json", ""},
        {"next/manifest.json?ch=beta", ""},
        {"https://cdn.example/qx/1.2/manifest.json", ""},
        {"n%C3%A4chste/manifest.json", ""},
        {"", "empty"},
        {std::string("a\0b.json", 8), "control character"},
        {"a\tb.json", "control character"},
        {"ftp://h/manifest.json", "http:// or https://"},
        {"HTTPS://h/manifest.json", "http:// or https://"},
        {"javascript:x", "http:// or https://"},
        {"/patch/next/manifest.json", "starts with a separator"},
        {"//h/manifest.json", "starts with a separator"},
        {"manifest.json#x", "'#'"},
        {"a b/manifest.json", "space"},
        {"n/manifest.json?a b", "space"},
        {"n\xc3\xa4/manifest.json", "unescaped"},
        {"next/%zz.json", "bad escape"},
        {"https:///manifest.json", "no host"},
    };
    for (const auto& c : cases) {
        const std::string problem = NextUrlProblem(c.url);
        if (c.problem.empty())
            EXPECT_EQ(problem, "") << c.url;
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << Printable(c.url) << " -> " << problem;
    }
}

TEST(ToolNext, Options) {
    const struct {
        std::vector<std::string> args;
        std::string problem;  // empty: taken
        NextOptions taken;
    } cases[] = {
        {{"--next", "../next/manifest.json"}, "", {"../next/manifest.json", false, 0}},
        {{"--next", "n/manifest.json", "--while-playing", "--max-kib-per-s", "1048576"},
         "",
         {"n/manifest.json", true, 1048576}},
        {{"--max-kib-per-s", "1", "--while-playing", "--next", "n/manifest.json"}, "", {"n/manifest.json", true, 1}},
        {{"--next", ""}, "--next : the address is empty", {}},
        {{"--next", "ftp://h/manifest.json"}, "--next ftp://h/manifest.json: the address must begin with http://", {}},
        {{"--next"}, "--next needs a value", {}},
        {{"--while-playing"}, "--while-playing needs --next", {}},
        {{"--max-kib-per-s", "5"}, "--max-kib-per-s needs --next", {}},
        {{"--next", "n/manifest.json", "--max-kib-per-s", "5"},
         "--max-kib-per-s has no effect without --while-playing",
         {}},
        {{"--next", "n", "--while-playing", "--max-kib-per-s", "0"},
         "--max-kib-per-s takes a whole number from 1 to 1048576",
         {}},
        {{"--next", "n", "--while-playing", "--max-kib-per-s", "1048577"}, "not 1048577", {}},
        {{"--next", "n", "--while-playing", "--max-kib-per-s", "5k"}, "not 5k", {}},
        {{"--next", "n", "--while-playing", "--max-kib-per-s"}, "--max-kib-per-s needs a value", {}},
    };
    for (const auto& c : cases) {
        NextOptions next;
        std::string problem;
        for (size_t i = 0; i < c.args.size() && problem.empty(); ++i)
            EXPECT_TRUE(TakeNextOption(c.args, i, next, problem));
        if (problem.empty()) problem = NextOptionsProblem(next);
        EXPECT_NE(problem.find(c.problem), std::string::npos) << c.args[0] << " -> " << problem;
        if (!c.problem.empty() || !problem.empty()) continue;
        EXPECT_EQ(next.url, c.taken.url);
        EXPECT_EQ(next.whilePlaying, c.taken.whilePlaying);
        EXPECT_EQ(next.maxKibPerS, c.taken.maxKibPerS);
    }
}

TEST(ToolNext, BuildAndAnnounceWriteAMemberThePatcherReads) {
    Folder release;
    release.Put("a.bin", "abc");
    const struct {
        std::string options;
        int exit;
        std::string url;
        bool whilePlaying;
        unsigned kibPerS;
    } cases[] = {
        {"--next ../next/manifest.json", 0, "../next/manifest.json", false, kDefaultPreloadKibPerS},
        {"--next 'https://cdn.example/n/manifest.json?a=1' --while-playing --max-kib-per-s 64", 0,
         "https://cdn.example/n/manifest.json?a=1", true, 64},
        {"--next \"$(printf 'n\\001/manifest.json')\"", 2, "", false, 0},
    };
    for (const auto& c : cases) {
        Folder out, live;
        std::string log;
        ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 -o " + Quote(live.root), log), 0) << log;
        const std::string before = Slurp(live.root / "manifest.json");
        for (const auto& [command, folder] :
             {std::pair{"build " + Quote(release.root) + " --version 1 " + c.options + " -o " + Quote(out.root),
                        out.root},
              std::pair{"announce " + Quote(live.root) + " " + c.options, live.root}}) {
            SCOPED_TRACE(command);
            ASSERT_EQ(Tool(command, log), c.exit) << log;
            if (c.exit != 0) {
                EXPECT_NE(log.find("control character"), std::string::npos) << log;
                continue;
            }
            PatchManifest m;
            ASSERT_TRUE(ParseManifest(Slurp(folder / "manifest.json"), m));
            EXPECT_EQ(m.next.url, c.url);
            EXPECT_EQ(m.next.whilePlaying, c.whilePlaying);
            EXPECT_EQ(m.next.maxKibPerS, c.kibPerS);
            EXPECT_EQ(m.files.size(), 1u);
        }
        if (c.exit != 0) EXPECT_EQ(Slurp(live.root / "manifest.json"), before);
    }
}

TEST(ToolNext, OnlyTheRootsMembersOfThatNameGoAndTheRestKeepsItsBytes) {
    const struct {
        std::string text, without;  // without: empty when the text is refused
    } cases[] = {
        {"{\"version\": \"x\", \"next\": {\"url\": \"n\"}, \"files\": []}", "{\"version\": \"x\", \"files\": []}"},
        {"{\n  \"next\": 1,\n  \"version\": \"x\"\n}\n", "{\n  \"version\": \"x\"\n}\n"},
        {"{\"a\": 1, \"next\": 2, \"next\": [3]}", "{\"a\": 1}"},
        {"{\"next\": 1}", "{}"},
        {"{\"a\": {\"next\": 1}, \"b\": \"next\"}", "{\"a\": {\"next\": 1}, \"b\": \"next\"}"},
        {"{\"a\": 1,}", ""},
        {"[1]", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(RemoveRootMembers(text, "next"), !c.without.empty()) << c.text;
        if (!c.without.empty()) EXPECT_EQ(text, c.without) << c.text;
    }
}

TEST(ToolAnnounce, ChangesOnlyTheMemberAndWithdrawingGivesBackTheSameBytes) {
    Folder release, live;
    release.Put("a.bin", "abc");
    std::string log;
    ASSERT_EQ(
        Tool("build " + Quote(release.root) + " --version 1 --resume --reuse-verified -o " + Quote(live.root), log), 0)
        << log;
    const std::string published = Slurp(live.root / "manifest.json");
    const std::string announce = "announce " + Quote(live.root);
    ASSERT_EQ(Tool(announce + " --next a/manifest.json", log), 0) << log;
    EXPECT_NE(log.find("nothing at"), std::string::npos) << "a next release not there yet is warned of: " << log;
    ASSERT_EQ(Tool(announce + " --next b/manifest.json --while-playing", log), 0) << log;
    const std::string announced = Slurp(live.root / "manifest.json");
    EXPECT_EQ(announced.find("a/manifest.json"), std::string::npos) << announced;
    EXPECT_EQ(announced, published.substr(0, published.rfind("\n}")) +
                             ",\n  \"next\": {\"url\": \"b/manifest.json\", \"while_playing\": true}\n}\n");
    ASSERT_EQ(Tool(announce + " --withdraw", log), 0) << log;
    EXPECT_EQ(Slurp(live.root / "manifest.json"), published);
    ASSERT_EQ(Tool(announce + " --withdraw", log), 0) << log;
    EXPECT_NE(log.find("announces no next release; nothing changed"), std::string::npos) << log;

    // Refused, with the manifest as it was: itself as its next, options that clash, a write that fails.
    fs::create_directory(live.root / "manifest.json.tmp");
    for (const std::string& options :
         {"--next manifest.json", "--next ./x/../manifest.json", "--next a/manifest.json --withdraw", "",
          "--next a/manifest.json --sign k", "--next a/manifest.json --expires-days 3", "--next a/manifest.json"}) {
        EXPECT_NE(Tool(announce + " " + options, log), 0) << options;
        EXPECT_EQ(Slurp(live.root / "manifest.json"), published) << options;
    }
    EXPECT_NE(log.find("cannot be written"), std::string::npos) << log;
    EXPECT_EQ(Tool("announce " + Quote(release.root) + " --next a/manifest.json", log), 1) << "no manifest there";
    EXPECT_EQ(
        Tool("build " + Quote(release.root) + " --version 1 --next ./manifest.json -o " + Quote(live.root / "o"), log),
        2);
    EXPECT_NE(log.find("leads back to the manifest it is written into"), std::string::npos) << log;
}

// keygen KEY; build RELEASE --sign KEY --sequence N OPTIONS -o OUT.
struct SignedReleases {
    Folder top;
    SignedReleases() {
        std::string log;
        EXPECT_EQ(Tool("keygen " + Quote(top.root / "k"), log), 0) << log;
        EXPECT_EQ(Tool("keygen " + Quote(top.root / "other"), log), 0) << log;
        top.Put("rel1/a.bin", "1");
        top.Put("rel2/a.bin", "2");
    }
    int Build(const char* release, const char* key, unsigned sequence, const std::string& options, const char* out) {
        std::string log;
        const int code =
            Tool("build " + Quote(top.root / release) + " --version 1 --sign " + Quote(top.root / key) +
                     " --sequence " + std::to_string(sequence) + " " + options + " -o " + Quote(top.root / out),
                 log);
        EXPECT_EQ(code, 0) << log;
        return code;
    }
};

TEST(ToolAnnounce, ASignedReleaseIsSignedAgainWithItsSequence) {
    SignedReleases s;
    const fs::path live = s.top.root / "live";
    s.Build("rel1", "k", 7, "--expires-days 3", "live");
    const std::string manifest = Slurp(live / "manifest.json"), signature = Slurp(live / "manifest.json.sig");
    const std::string announce = "announce " + Quote(live) + " --next ../next/manifest.json";
    std::string log;
    EXPECT_EQ(Tool(announce, log), 1);
    EXPECT_NE(log.find("is signed (manifest.json.sig), so the changed manifest needs a new signature"),
              std::string::npos)
        << log;
    EXPECT_EQ(Tool(announce + " --sign " + Quote(live / "manifest.json"), log), 1) << "not a key";
    EXPECT_EQ(Slurp(live / "manifest.json"), manifest);
    EXPECT_EQ(Slurp(live / "manifest.json.sig"), signature);

    ASSERT_EQ(Tool(announce + " --sign " + Quote(s.top.root / "k"), log), 0) << log;
    const std::string announced = Slurp(live / "manifest.json");
    uint64_t sequence = 0;
    EXPECT_EQ(ReadManifestSequence(announced, sequence), SequenceRead::Present);
    EXPECT_EQ(sequence, 7u);
    EXPECT_EQ(announced.substr(0, announced.find("\"version\"")), manifest.substr(0, manifest.find("\"version\"")))
        << "sequence and expiry kept";
    // The new signature is the one verify checks; the next release is not there yet.
    EXPECT_EQ(Tool("verify " + Quote(live) + " --public-key " + Quote(s.top.root / "k.pub"), log), 1);
    EXPECT_EQ(log.find("manifest.json.sig:"), std::string::npos) << log;
    EXPECT_NE(log.find("next release ../next/manifest.json: "), std::string::npos) << log;

    ASSERT_EQ(
        Tool("announce " + Quote(live) + " --withdraw --sign " + Quote(s.top.root / "k") + " --expires-days 9", log), 0)
        << log;
    const std::string withdrawn = Slurp(live / "manifest.json");
    EXPECT_EQ(withdrawn.find("\"next\""), std::string::npos);
    EXPECT_EQ(withdrawn.find("\"expires\""), withdrawn.rfind("\"expires\"")) << "one expiry: " << withdrawn;
    EXPECT_NE(withdrawn.substr(0, withdrawn.find("\"version\"")), manifest.substr(0, manifest.find("\"version\"")));
    EXPECT_EQ(Tool("verify " + Quote(live) + " --public-key " + Quote(s.top.root / "k.pub"), log), 0) << log;

    // An unsigned release is not signed for the first time here.
    Folder plain;
    ASSERT_EQ(Tool("build " + Quote(s.top.root / "rel1") + " --version 1 -o " + Quote(plain.root), log), 0) << log;
    EXPECT_EQ(Tool("announce " + Quote(plain.root) + " --next n/manifest.json --sign " + Quote(s.top.root / "k"), log),
              1);
    EXPECT_NE(log.find("is not signed"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(plain.root / "manifest.json.sig"));
}

TEST(ToolVerifyNext, TheNextReleaseIsHeldToTheRulesOfTheOneThatAnnouncesIt) {
    SignedReleases s;
    const fs::path& top = s.top.root;
    const std::string k = " --public-key " + Quote(top / "k.pub");
    std::string log;
    const struct {
        const char* what;
        std::function<void()> publish;  // the live release in top/live, the next in top/next
        std::string options;            // for verify
        std::string reported;           // empty: verify passes
        std::string noted = "";
    } cases[] = {
        {"a higher sequence, same key", [&] { s.Build("rel2", "k", 8, "", "next"); }, "", ""},
        {"the same, checked with the keys", [&] { s.Build("rel2", "k", 8, "", "next"); }, k, ""},
        {"the same sequence", [&] { s.Build("rel2", "k", 7, "", "next"); }, "",
         "sequence 7 is not higher than this release's 7"},
        {"a lower sequence", [&] { s.Build("rel2", "k", 6, "", "next"); }, k, "sequence 6 is not higher"},
        {"unsigned",
         [&] { ASSERT_EQ(Tool("build " + Quote(top / "rel2") + " --version 2 -o " + Quote(top / "next"), log), 0); },
         "", "not signed (no manifest.json.sig) while this release is"},
        {"another key", [&] { s.Build("rel2", "other", 8, "", "next"); }, "", "this release with key"},
        {"another key, checked with the keys", [&] { s.Build("rel2", "other", 8, "", "next"); }, k,
         "none of the given keys"},
        {"a broken file",
         [&] {
             s.Build("rel2", "k", 8, "", "next");
             std::ofstream(top / "next/files/a.bin") << "3";
         },
         "", "next release ../next/manifest.json: a.bin: SHA-256"},
        {"nothing there", [] {}, "", "next/manifest.json: cannot be read"},
        {"its own next is not followed", [&] { s.Build("rel2", "k", 8, "--next ../none/manifest.json", "next"); }, "",
         "", "announces its own next, ../none/manifest.json; not followed"},
    };
    s.Build("rel1", "k", 7, "--next ../next/manifest.json", "live");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(top / "next");
        c.publish();
        const int code = Tool("verify " + Quote(top / "live") + c.options, log);
        EXPECT_EQ(code, c.reported.empty() ? 0 : 1) << log;
        EXPECT_NE(log.find(c.reported + c.noted), std::string::npos) << log;
    }
}

TEST(ToolVerifyNext, AnAbsoluteAddressIsCheckedInTheFolderGiven) {
    Folder release, live, next;
    release.Put("a.bin", "abc");
    std::string log;
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 2 -o " + Quote(next.root), log), 0) << log;
    ASSERT_EQ(Tool("build " + Quote(release.root) + " --version 1 --next https://cdn.example/n/manifest.json -o " +
                       Quote(live.root),
                   log),
              0)
        << log;
    EXPECT_EQ(Tool("verify " + Quote(live.root), log), 1);
    EXPECT_NE(log.find("next release https://cdn.example/n/manifest.json: an absolute address; give --next-dir DIR"),
              std::string::npos)
        << log;
    EXPECT_EQ(Tool("verify " + Quote(live.root) + " --next-dir " + Quote(next.root), log), 0) << log;
    EXPECT_EQ(Tool("verify " + Quote(live.root) + " --next-dir " + Quote(release.root), log), 1) << "no manifest there";
    // A manifest edited by hand to name itself.
    std::string text = Slurp(live.root / "manifest.json");
    text.replace(text.find("https://cdn.example/n/manifest.json"), 35, "./manifest.json");
    live.Put("manifest.json", text);
    EXPECT_EQ(Tool("verify " + Quote(live.root), log), 1);
    EXPECT_NE(log.find("leads back to this release itself"), std::string::npos) << log;
}

}  // namespace
