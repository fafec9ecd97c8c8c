// With the manifest's resume on, a download cut by the end of the process (a kill, a power cut, the
// window closed) goes on at the next run from the side file, with Range and If-Range; a changed file on
// the server or a changed entry in the manifest means the whole file again.
#include <gtest/gtest.h>

#include "PatchTestSite.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "state/StateFile.h"

namespace {

constexpr size_t kSize = 48u << 20;

std::wstring Exe() { return qt::BinaryDir() + L"\\QirellPatcher.exe"; }

struct Game {
    std::wstring dir, side, target, statePath;
};

Game NewGame(const std::string& name) {
    Game g;
    g.dir = qt::FreshDir(L"resume-" + qt::Wide(name));
    qt::WriteBytes(g.dir + L"\\data.qpa", "qpa");
    EXPECT_TRUE(CopyFileW(Exe().c_str(), (g.dir + L"\\QirellPatcher.exe").c_str(), FALSE));
    g.target = g.dir + L"\\big.bin";
    g.side = g.target + L".patch.tmp";
    FolderIdentity id;
    EXPECT_TRUE(IdentifyFolder(g.dir, id));
    g.statePath = StateFilePath(DefaultStateFolder(), id);
    DeleteFileW(g.statePath.c_str());  // a state an earlier test run left for a folder of this name
    return g;
}

// The patcher run until its side file holds at least a third of the file, then killed. Returns the
// side file's size then, 0 when it never got there.
uint64_t KillMidway(const Game& g, const std::string& url) {
    DWORD pid = 0;
    HANDLE h = qt::StartProcess(g.dir + L"\\QirellPatcher.exe", L"--auto-close --url " + qt::Wide(url), g.dir, &pid);
    EXPECT_NE(h, nullptr);
    if (!h) return 0;
    uint64_t at = 0;
    for (int i = 0; i < 3000 && WaitForSingleObject(h, 20) == WAIT_TIMEOUT; ++i) {
        at = qt::SizeOf(g.side);
        if (at >= kSize / 3) break;
    }
    TerminateProcess(h, 77);
    WaitForSingleObject(h, 10000);
    CloseHandle(h);
    return qt::Exists(g.side) ? qt::SizeOf(g.side) : 0;
}

struct Served {
    std::vector<qt::ServerRequest> requests;  // of big.bin
    uint64_t bytes = 0;
};

Served ServedSince(const qt::LogMark& mark, const std::string& site, size_t atLeast) {
    Served s;
    qt::WaitForRequests(mark, atLeast, 10000);
    for (const qt::ServerRequest& r : qt::RequestsFor(mark, site + "/files/big.bin")) {
        s.requests.push_back(r);
        s.bytes += std::stoull(r.bytes.empty() ? "0" : r.bytes);
    }
    return s;
}

}  // namespace

TEST(ResumeAcrossRuns, AKilledDownloadGoesOnAndAChangedFileOrEntryStartsAfresh) {
    const std::string content = qt::Pattern(kSize, 5);
    const std::string resume = ",\n  \"download\": {\"resume\": true}";
    const struct Case {
        const char* name;
        bool touchServedFile;  // a new validator for the same bytes
        bool newEntry;         // the manifest lists other bytes for the file
    } cases[] = {{"same", false, false}, {"validator", true, false}, {"entry", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pt::Site site = pt::MakeSite(std::string("resume-") + c.name);
        const std::string fileUrl = "http://localhost:" + qt::HttpPort() + "/slow/" + site.name + "/files/big.bin";
        const std::string url = pt::Publish(site, "1", {{"big.bin", content, fileUrl}}, {}, {}, resume);
        Game g = NewGame(c.name);
        const qt::LogMark first = qt::MarkLogs();
        const uint64_t cut = KillMidway(g, url);
        ASSERT_GE(cut, kSize / 3);
        ASSERT_LT(cut, kSize);
        FolderIdentity id;
        ASSERT_TRUE(IdentifyFolder(g.dir, id));
        FolderState state;
        ASSERT_EQ(LoadFolderState(g.statePath, id, state), StateLoad::Loaded);
        ASSERT_EQ(state.partials.size(), 1u);
        const std::string validator = state.partials[0].validator;
        EXPECT_FALSE(validator.empty());

        std::string expected = content;
        if (c.touchServedFile) {
            const std::wstring served = site.root + L"\\files\\big.bin";
            HANDLE h = CreateFileW(served.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            FILETIME t;
            GetSystemTimeAsFileTime(&t);
            t.dwHighDateTime += 2;  // some minutes on: another Last-Modified, another ETag
            SetFileTime(h, nullptr, nullptr, &t);
            CloseHandle(h);
        }
        if (c.newEntry) {
            expected = qt::Pattern(kSize, 6);
            pt::Publish(site, "2", {{"big.bin", expected, fileUrl}}, {}, {}, resume);
        }
        const qt::LogMark second = qt::MarkLogs();
        const qt::ProcessResult again =
            qt::RunProcess(g.dir + L"\\QirellPatcher.exe", L"--auto-close --url " + qt::Wide(url), g.dir, 120000);
        ASSERT_TRUE(again.started);
        EXPECT_EQ(again.exitCode, 0u);
        EXPECT_EQ(qt::Sha256Hex(qt::ReadBytes(g.target)), qt::Sha256Hex(expected));
        EXPECT_FALSE(qt::Exists(g.side));

        const Served next = ServedSince(second, site.name, 2);
        ASSERT_EQ(next.requests.size(), 1u);
        const qt::ServerRequest& r = next.requests[0];
        if (c.newEntry) {
            EXPECT_EQ(r.Header("Range"), "") << "the side file of another entry was gone on with";
            EXPECT_EQ(r.status, "200");
        } else {
            // Range from where the side file ended, the validator of the first answer alongside.
            EXPECT_EQ(r.Header("Range"), "bytes=" + std::to_string(cut) + "-");
            EXPECT_EQ(r.Header("If-Range"), validator);
            EXPECT_EQ(r.status, c.touchServedFile ? "200" : "206");
        }
        if (!c.touchServedFile && !c.newEntry) {
            const Served both = ServedSince(first, site.name, 2);
            EXPECT_LE(both.bytes, kSize + kSize / 20) << "sent over both runs";
        }
        FolderState after;
        ASSERT_EQ(LoadFolderState(g.statePath, id, after), StateLoad::Loaded);
        EXPECT_TRUE(after.partials.empty());
    }
}
