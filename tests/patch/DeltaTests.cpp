// Delta updates under Wine against the loopback servers: a file with a block map is assembled from
// the local copy and Range requests; anything unexpected falls back once to the whole file.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "PatchTestSite.h"
#include "TestSupport.h"
#include "delta/BlockMap.h"
#include "net/Http.h"

namespace {

std::string MapOf(const std::string& content) {
    BlockMapBuilder b;
    BlockMapBegin(b, content.size());
    BlockMapAdd(b, content.data(), content.size());
    BlockMapFinish(b);
    return BlockMapBytes(b.map);
}

// The old file with a few bytes inserted near the start, scattered changes and an appended tail.
std::string NewVersion(const std::string& old, size_t changes) {
    std::string s = old.substr(0, 1000) + qt::Pattern(4096, 99) + old.substr(1000);
    for (size_t i = 1; i <= changes; ++i) {
        const size_t at = s.size() * i / (changes + 1);
        s.replace(at, 700, qt::Pattern(700, static_cast<uint32_t>(i)));
    }
    return s + qt::Pattern(300000, 98);
}

struct Published {
    std::string manifestUrl;
    std::string fileRel;  // the file's target as the servers log it, without the leading '/'
};

// data.qpa with a map under maps/; fileUrl and mapUrl override the entry's addresses, mapBytes the
// map served, mapSha256 and mapSize what the entry claims about it.
struct DeltaSite {
    std::string content;
    std::string fileUrl{}, mapUrl{};
    std::string mapBytes{};
    std::string mapSha256{};
    int64_t mapSize = -1;
    bool publishMap = true;
    std::string rootJson{};  // more members of the manifest's root
};

Published Publish(const pt::Site& site, const DeltaSite& d) {
    const std::string map = d.mapBytes.empty() ? MapOf(d.content) : d.mapBytes;
    qt::MakeDirs(site.root + L"\\files");
    qt::WriteBytes(site.root + L"\\files\\data.qpa", d.content);
    qt::MakeDirs(site.root + L"\\maps");
    if (d.publishMap) qt::WriteBytes(site.root + L"\\maps\\data.qpa.qbm", map);
    const std::string json =
        "{\"version\": \"d\", \"files\": [{\"path\": \"data.qpa\", \"size\": " + std::to_string(d.content.size()) +
        ", \"sha256\": \"" + qt::Sha256Hex(d.content) + "\"" +
        (d.fileUrl.empty() ? "" : ", \"url\": \"" + d.fileUrl + "\"") + ", \"delta\": {\"url\": \"" +
        (d.mapUrl.empty() ? "maps/data.qpa.qbm" : d.mapUrl) + "\", \"size\": " +
        std::to_string(d.mapSize < 0 ? map.size() : static_cast<size_t>(d.mapSize)) + ", \"sha256\": \"" +
        (d.mapSha256.empty() ? qt::Sha256Hex(map) : d.mapSha256) + "\"}}], \"delete_files\": [], \"delete_dirs\": []" + d.rootJson + "}";
    qt::WriteBytes(site.root + L"\\manifest.json", json);
    return {site.httpBase + "manifest.json", site.name + "/files/data.qpa"};
}

std::wstring Game(const std::string& name, const std::string* old) {
    const std::wstring game = qt::FreshDir(L"delta-" + qt::Wide(name));
    if (old) qt::WriteBytes(game + L"\\data.qpa", *old);
    return game;
}

// Requests naming the site, read once both servers have logged a request made after the run: a log
// line is written only after its answer has gone out, so a count alone could read a log half written.
std::vector<qt::ServerRequest> Seen(const qt::LogMark& mark, const std::string& site) {
    const std::string settle = "/" + site + "/log-settled";
    for (const std::string& url : {qt::HttpUrl(site + "/log-settled"), qt::FaultUrl("", site + "/log-settled")}) {
        std::string body;
        HttpGetToMemory(qt::Wide(url), body);  // a 404, wanted only for its log line
    }
    std::vector<qt::ServerRequest> seen;
    for (int i = 0; i < 300 && qt::RequestsFor(mark, settle).size() < 2; ++i) Sleep(10);
    EXPECT_EQ(qt::RequestsFor(mark, settle).size(), 2u) << "the servers' logs did not settle";
    for (const qt::ServerRequest& r : qt::RequestsFor(mark, "/" + site + "/"))
        if (r.target.find(settle) == std::string::npos) seen.push_back(r);
    return seen;
}

struct Counts {
    size_t maps = 0, ranges = 0, whole = 0;
    uint64_t rangeBytes = 0;
};
Counts Count(const std::vector<qt::ServerRequest>& seen) {
    Counts c;
    for (const qt::ServerRequest& r : seen) {
        if (r.target.find("/maps/") != std::string::npos) {
            ++c.maps;
        } else if (r.target.find("data.qpa") != std::string::npos) {
            const std::string range = r.Header("Range");
            if (range.empty()) {
                ++c.whole;
                continue;
            }
            ++c.ranges;
            unsigned long long first = 0, last = 0;
            if (sscanf(range.c_str(), "bytes=%llu-%llu", &first, &last) == 2)
                c.rangeBytes += last - first + 1;
            else
                ADD_FAILURE() << "a range without both ends: " << range;
        }
    }
    return c;
}

bool NoSideFile(const std::wstring& game) { return !qt::Exists(game + L"\\data.qpa.patch.tmp"); }

TEST(Delta, AChangedFileCostsItsChangedBlocksAndTheStatusSaysWhatWasReused) {
    const pt::Site site = pt::MakeSite("delta-main");
    const std::string old = qt::Pattern(24u << 20, 1);
    const std::string fresh = NewVersion(old, 10);
    const Published pub = Publish(site, {fresh});
    const std::wstring game = Game("main", &old);

    qt::LogMark mark = qt::MarkLogs();
    std::atomic<bool> done{false};
    std::vector<StatusSnapshot> samples;
    std::thread sampler([&] {
        for (int i = 0; i < 30000 && !done; ++i) {  // at most about 30 s
            samples.push_back(ReadStatus());
            Sleep(1);
        }
    });
    const pt::RunResult run = pt::RunInProcess(game, pub.manifestUrl);
    done = true;
    sampler.join();

    ASSERT_EQ(run.exitCode, 0) << qt::Utf8(run.status.detail);
    EXPECT_TRUE(qt::ReadBytes(game + L"\\data.qpa") == fresh);
    EXPECT_TRUE(NoSideFile(game));
    const Counts c = Count(Seen(mark, site.name));
    EXPECT_EQ(c.maps, 1u);
    EXPECT_EQ(c.whole, 0u) << "the whole file was downloaded";
    EXPECT_GE(c.ranges, 2u);
    EXPECT_LE(c.ranges, 13u);
    // 4 KiB inserted, ten 700-byte changes, a 300,000-byte tail; each costs at most two 4 KiB blocks more.
    EXPECT_LE(c.rangeBytes, 300000u + 4096u + 11 * 2 * 4096u);

    int lastProgress = 0;
    bool toldReuse = false;
    for (const StatusSnapshot& s : samples) {
        if (s.headline != L"กำลังดาวน์โหลดอัปเดต...") continue;
        const std::string detail = qt::Utf8(s.detail);
        toldReuse |= detail.rfind("กำลังประกอบ data.qpa (", 0) == 0 &&
                     detail.find(") ใช้ข้อมูลเดิม ") != std::string::npos && detail.find(", ดาวน์โหลด ") != std::string::npos;
        EXPECT_GE(s.progress, lastProgress) << detail;
        lastProgress = s.progress;
    }
    EXPECT_TRUE(toldReuse) << "no status line said how much was reused and fetched";

    // With parallel downloads asked for as well, the file is still assembled, not downloaded whole.
    const pt::Site both = pt::MakeSite("delta-parallel");
    DeltaSite parallel{fresh};
    parallel.rootJson = ", \"download\": {\"connections\": 4}";
    const Published pubBoth = Publish(both, parallel);
    const std::wstring game2 = Game("parallel", &old);
    qt::LogMark mark2 = qt::MarkLogs();
    ASSERT_EQ(pt::RunInProcess(game2, pubBoth.manifestUrl).exitCode, 0);
    EXPECT_TRUE(qt::ReadBytes(game2 + L"\\data.qpa") == fresh);
    const Counts c2 = Count(Seen(mark2, both.name));
    EXPECT_EQ(c2.maps, 1u);
    EXPECT_EQ(c2.whole, 0u);

    // Up to date: no map, no range, nothing but the manifest.
    mark = qt::MarkLogs();
    const pt::RunResult again = pt::RunInProcess(game, pub.manifestUrl);
    ASSERT_EQ(again.exitCode, 0);
    const std::vector<qt::ServerRequest> second = Seen(mark, site.name);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].target.find("manifest.json"), std::string::npos);
}

TEST(Delta, AnythingUnexpectedFallsBackOnceToTheWholeFile) {
    const std::string old = qt::Pattern(3u << 20, 2);
    const std::string fresh = NewVersion(old, 3);
    const std::string otherMap = MapOf(qt::Pattern(fresh.size(), 3));
    std::string garbage = MapOf(fresh);
    garbage[20] ^= 1;  // the file size no longer fits the block count
    const struct Case {
        const char* name;
        std::string fault;  // the file's address on the fault server in this mode; "-": nginx
        bool mapOnFault;    // the map from the fault server (which answers no Range)
        std::string mapBytes;
        std::string mapSha256;
        int64_t mapSize;
        bool publishMap;
        bool emptyOld;
    } cases[] = {
        {"server without Range support", "", true, "", "", -1, true, false},
        {"map missing", "-", false, "", "", -1, false, false},
        {"map digest wrong", "-", false, "", std::string(64, 'a'), -1, true, false},
        {"map size listed too large", "-", false, "", "", static_cast<int64_t>(MapOf(fresh).size()) + 1, true, false},
        {"map of another file", "-", false, otherMap, "", -1, true, false},
        {"malformed map", "-", false, garbage, "", -1, true, false},
        {"range answered with wrong bytes", "wrongrange", false, "", "", -1, true, false},
        {"range answered from another offset", "badrange/1000000000", false, "", "", -1, true, false},
        {"range answered with the whole file", "range200/1000000000", false, "", "", -1, true, false},
        {"old file empty: nothing to reuse", "-", false, "", "", -1, true, true},
    };
    int index = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const pt::Site site = pt::MakeSite("delta-fallback-" + std::to_string(index++));
        DeltaSite d{fresh};
        if (k.fault != "-") d.fileUrl = qt::FaultUrl(k.fault, site.name + "/files/data.qpa");
        if (k.mapOnFault) d.mapUrl = qt::FaultUrl("", site.name + "/maps/data.qpa.qbm");
        d.mapBytes = k.mapBytes;
        d.mapSha256 = k.mapSha256;
        d.mapSize = k.mapSize;
        d.publishMap = k.publishMap;
        const Published pub = Publish(site, d);
        const std::string empty;
        const std::wstring game = Game(site.name, k.emptyOld ? &empty : &old);

        const qt::LogMark mark = qt::MarkLogs();
        const pt::RunResult run = pt::RunInProcess(game, pub.manifestUrl);
        EXPECT_EQ(run.exitCode, 0) << qt::Utf8(run.status.detail);
        EXPECT_TRUE(qt::ReadBytes(game + L"\\data.qpa") == fresh);
        EXPECT_TRUE(NoSideFile(game));
        const Counts c = Count(Seen(mark, site.name));
        EXPECT_EQ(c.maps, 1u);
        EXPECT_EQ(c.whole, 1u) << "exactly one whole download after the delta attempt";
    }
}

TEST(Delta, AFailedFallbackIsThePlainFailureAndAMissingFileIsNotSearched) {
    const std::string old = qt::Pattern(2u << 20, 4);
    const std::string fresh = NewVersion(old, 2);

    const pt::Site broken = pt::MakeSite("delta-404");
    DeltaSite d{fresh};
    d.fileUrl = qt::FaultUrl("status/404", broken.name + "/files/data.qpa");
    const std::wstring game = Game("404", &old);
    const pt::RunResult run = pt::RunInProcess(game, Publish(broken, d).manifestUrl);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.status.headline, L"อัปเดตไม่สำเร็จ");
    EXPECT_EQ(run.status.detail, L"ดาวน์โหลด data.qpa ไม่สำเร็จ (HTTP 404)");
    EXPECT_TRUE(qt::ReadBytes(game + L"\\data.qpa") == old);
    EXPECT_TRUE(NoSideFile(game));

    // No local file: the map is not even fetched.
    const pt::Site site = pt::MakeSite("delta-missing");
    const Published pub = Publish(site, {fresh});
    const std::wstring empty = Game("missing", nullptr);
    const qt::LogMark mark = qt::MarkLogs();
    const pt::RunResult fresh1 = pt::RunInProcess(empty, pub.manifestUrl, true);
    EXPECT_TRUE(qt::ReadBytes(empty + L"\\data.qpa") == fresh) << qt::Utf8(fresh1.status.detail);
    const Counts c = Count(Seen(mark, site.name));
    EXPECT_EQ(c.maps, 0u);
    EXPECT_EQ(c.whole, 1u);
}

// The real program killed while it assembles (once its side file exists, after a few milliseconds more):
// data.qpa holds its old or its new bytes, never a mix, and the next run finishes the job.
TEST(Delta, AKillDuringAssemblyLeavesTheOldFileAndTheNextRunConverges) {
    const std::string exeBytes = qt::ReadBytes(qt::BinaryDir() + L"\\QirellPatcher.exe");
    ASSERT_FALSE(exeBytes.empty());
    const std::string old = qt::Pattern(64u << 20, 5);
    const std::string fresh = NewVersion(old, 20);
    const pt::Site site = pt::MakeSite("delta-kill");
    const std::string url = Publish(site, {fresh}).manifestUrl;
    const int extraMs[] = {0, 5, 20, 60, 150};
    int midway = 0;
    for (int extra : extraMs) {
        SCOPED_TRACE(extra);
        const std::wstring game = Game("kill-" + std::to_string(extra), &old);
        qt::WriteBytes(game + L"\\QirellPatcher.exe", exeBytes);
        const std::wstring exe = game + L"\\QirellPatcher.exe";
        HANDLE h = qt::StartProcess(exe, L"--auto-close --url " + qt::Wide(url), game);
        ASSERT_NE(h, nullptr);
        for (int i = 0; i < 20000 && NoSideFile(game); ++i)  // at most about 20 s
            if (WaitForSingleObject(h, 1) != WAIT_TIMEOUT) break;
        if (WaitForSingleObject(h, extra) == WAIT_TIMEOUT) TerminateProcess(h, 77);
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
        midway += !NoSideFile(game);
        const std::string now = qt::ReadBytes(game + L"\\data.qpa");
        EXPECT_TRUE(now == old || now == fresh) << "data.qpa holds neither version";

        const qt::ProcessResult again = qt::RunProcess(exe, L"--auto-close --url " + qt::Wide(url), game, 120000);
        EXPECT_EQ(again.exitCode, 0u);
        EXPECT_TRUE(qt::ReadBytes(game + L"\\data.qpa") == fresh);
        EXPECT_TRUE(NoSideFile(game));
    }
    EXPECT_GE(midway, 1) << "no kill fell inside an assembly";
}

}  // namespace
