// Mirrors: a file falls through the manifest's bases to one that serves its bytes; a failed base goes
// last for the rest of the run; a manifest without mirrors asks for what it always asked for.
#include <gtest/gtest.h>

#include "PatchTestSite.h"
#include "TestSupport.h"

using pt::Entry;

namespace {

std::string MirrorsJson(const std::vector<std::string>& bases, const std::string& more = "") {
    std::string json = ",\n  \"mirrors\": [";
    for (size_t i = 0; i < bases.size(); ++i) json += (i ? ", \"" : "\"") + bases[i] + "\"";
    return json + "]" + more;
}

size_t LinesWith(const std::vector<std::string>& log, const std::string& a, const std::string& b) {
    size_t n = 0;
    for (const std::string& line : log) n += line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    return n;
}

std::string Lines(const std::vector<std::string>& log) {
    std::string out;
    for (const std::string& line : log) out += line + "\n";
    return out;
}

}  // namespace

TEST(Mirrors, ARefusingAndACorruptBaseFallThroughToTheThird) {
    struct Case {
        const char* name;
        std::string download;
    } cases[] = {{"mirror-serial", ""}, {"mirror-parallel", ",\n  \"download\": {\"connections\": 3}"}};
    for (const Case& c : cases) {
        pt::Site site = pt::MakeSite(c.name);
        const std::vector<Entry> entries = {{"a.bin", std::string(70000, 'a')}, {"sub/b.bin", "bee"}, {"c.bin", "sea"}};
        const std::string refusing = pt::RefusingBase(c.name), corrupt = qt::FaultUrl("wrong", std::string(c.name) + "/");
        const std::string url = pt::Publish(site, "m", entries, {}, {}, MirrorsJson({refusing, corrupt}, c.download));
        const std::wstring game = qt::FreshDir(qt::Wide(c.name));
        const qt::LogMark mark = qt::MarkLogs();
        const pt::RunResult run = pt::RunInProcess(game, url);
        ASSERT_EQ(run.exitCode, 0) << c.name << ": " << qt::Utf8(run.status.detail) << "\n" << Lines(run.log);
        for (const Entry& e : entries) EXPECT_EQ(qt::ReadBytes(game + L"\\" + qt::Wide(e.path)), e.content) << e.path;
        // Side by side, every file may meet the failing bases before the first has sent them last.
        const size_t atMost = c.download.empty() ? 1 : entries.size();
        const size_t refused = LinesWith(run.log, refusing, "no connection (WinHTTP 12029), next base");
        const size_t corrupted = LinesWith(run.log, corrupt, "digest differs, next base");
        EXPECT_TRUE(refused >= 1 && refused <= atMost) << Lines(run.log);
        EXPECT_TRUE(corrupted >= 1 && corrupted <= atMost) << Lines(run.log);
        EXPECT_EQ(LinesWith(run.log, site.httpBase, ": verified"), entries.size()) << Lines(run.log);
        const std::vector<std::string> seen = pt::TargetsSince(mark, 1 + entries.size() + 1);
        const std::string folder = "/" + std::string(c.name) + "/files/";
        for (const Entry& e : entries) EXPECT_EQ(pt::CountStartingWith(seen, folder + e.path), 1u) << pt::Joined(seen);
        EXPECT_EQ(pt::CountStartingWith(seen, "/wrong" + folder), corrupted) << pt::Joined(seen);
    }
}

TEST(Mirrors, EveryBaseFailingEndsWithTheLastFailuresText) {
    pt::Site site = pt::MakeSite("mirror-allfail");
    const std::string refusing = pt::RefusingBase("mirror-allfail"), broken = qt::FaultUrl("status/503", "mirror-allfail/");
    const std::vector<Entry> entries = {{"a.bin", "never served", "", "", -1, false}};
    const std::string url = pt::Publish(site, "m", entries, {}, {}, MirrorsJson({refusing, broken}));
    const std::wstring game = qt::FreshDir(L"mirror-allfail");
    const pt::RunResult run = pt::RunInProcess(game, url);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.status.headline, L"อัปเดตไม่สำเร็จ");
    EXPECT_EQ(run.status.detail, L"ดาวน์โหลด a.bin ไม่สำเร็จ (HTTP 404)");
    EXPECT_EQ(LinesWith(run.log, refusing, "next base"), 1u) << Lines(run.log);
    EXPECT_EQ(LinesWith(run.log, broken, "HTTP 503, next base"), 1u) << Lines(run.log);
    EXPECT_EQ(LinesWith(run.log, site.httpBase, "HTTP 404, no base left"), 1u) << Lines(run.log);
    EXPECT_FALSE(qt::Exists(game + L"\\a.bin.patch.tmp"));
}

TEST(Mirrors, APlainManifestAsksForTheManifestAndEachFileOnce) {
    pt::Site site = pt::MakeSite("mirror-none");
    const std::string url = pt::Publish(site, "m", {{"a.bin", "one"}, {"d/b.bin", "two"}});
    const qt::LogMark mark = qt::MarkLogs();
    const pt::RunResult run = pt::RunInProcess(qt::FreshDir(L"mirror-none"), url);
    ASSERT_EQ(run.exitCode, 0);
    const std::vector<std::string> seen = pt::TargetsSince(mark, 3);
    EXPECT_EQ(seen.size(), 3u) << pt::Joined(seen);
    EXPECT_EQ(pt::CountStartingWith(seen, "/mirror-none/manifest.json?t="), 1u) << pt::Joined(seen);
    EXPECT_EQ(pt::CountStartingWith(seen, "/mirror-none/files/a.bin"), 1u) << pt::Joined(seen);
    EXPECT_EQ(pt::CountStartingWith(seen, "/mirror-none/files/d/b.bin"), 1u) << pt::Joined(seen);
    EXPECT_EQ(LinesWith(run.log, "base", ""), 0u) << Lines(run.log);
}
