// The release a live manifest announces as next: its changed files fetched ahead into the staging
// folder after a ready run, moved into place on patch day, and the folder cleared once no release
// needs them.
#include <gtest/gtest.h>

#include <thread>

#include "PatchTestSite.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "patch/PreloadControl.h"

namespace {

constexpr char kStaging[] = "QirellPatcher.preload";

struct PreloadScope {
    PreloadControl control;
    std::wstring savedState = pt::TestConfig().stateFolder;
    explicit PreloadScope(const std::wstring& name) {
        pt::TestConfig().preload = &control;
        pt::TestConfig().stateFolder = qt::FreshDir(L"state-" + name);
    }
    ~PreloadScope() {
        pt::TestConfig().preload = nullptr;
        pt::TestConfig().stateFolder = savedState;
    }
};

std::string NextMember(const pt::Site& next) {
    return ",\n  \"next\": {\"url\": \"" + next.httpBase + "manifest.json\"}";
}

std::wstring Staged(const std::wstring& game, const std::string& content) {
    return game + L"\\" + qt::Wide(kStaging) + L"\\" + qt::Wide(qt::Sha256Hex(content));
}

// The files of the staging folder, side files included; none when it is gone.
std::vector<std::wstring> StagingFiles(const std::wstring& game) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((game + L"\\" + qt::Wide(kStaging) + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

std::string Served(const qt::LogMark& mark, const pt::Site& site) {
    qt::WaitForRequests(mark, 1, 2000);
    std::string targets;
    for (const qt::ServerRequest& r : qt::RequestsFor(mark, site.name + "/files/")) targets += r.target + " ";
    return targets;
}

bool Logged(const pt::RunResult& r, const std::string& part) {
    for (const std::string& line : r.log)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(Preload, ChangedFilesAreStagedAndPatchDayMovesThemInInsteadOfFetching) {
    PreloadScope scope(L"preload-day");
    const pt::Site live = pt::MakeSite("preload-day-live"), next = pt::MakeSite("preload-day-next");
    const std::vector<pt::Entry> v2 = {{"a.bin", "alpha, second release"},
                                       {"b.bin", "the same in both"},
                                       {"d/new.bin", "only in the second"},
                                       {"e.bin", "staged, then changed on disk"}};
    pt::Publish(next, "2.0", v2);
    const std::string liveUrl =
        pt::Publish(live, "1.0", {{"a.bin", "alpha, first release"}, {"b.bin", "the same in both"}}, {}, {},
                    NextMember(next));
    const std::wstring game = qt::FreshDir(L"preload-day");
    qt::WriteBytes(game + L"\\data.qpa", "qpa");

    qt::LogMark mark = qt::MarkLogs();
    pt::RunResult first = pt::RunInProcess(game, liveUrl);
    EXPECT_EQ(first.returned, 0u);
    EXPECT_TRUE(first.ready);
    const std::string fetchedAhead = Served(mark, next);
    EXPECT_EQ(qt::RequestsFor(mark, next.name + "/files/b.bin").size(), 0u) << fetchedAhead;
    EXPECT_EQ(StagingFiles(game).size(), 3u);
    for (const char* path : {"a.bin", "d/new.bin"}) {
        const std::string content = path[0] == 'a' ? v2[0].content : v2[2].content;
        EXPECT_EQ(qt::ReadBytes(Staged(game, content)), content) << path;
    }
    EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "alpha, first release") << "the live folder was touched";
    EXPECT_NE(first.status.detail.find(L"โหลดล่วงหน้าครบแล้ว"), std::wstring::npos);

    // A staged copy changed before patch day is fetched again; the others come from staging alone.
    const std::wstring changed = Staged(game, v2[3].content);
    std::string bytes = qt::ReadBytes(changed);
    bytes[0] ^= 1;
    qt::WriteBytes(changed, bytes);
    for (const char* gone : {"a.bin", "d\\new.bin"}) DeleteFileW((next.root + L"\\files\\" + qt::Wide(gone)).c_str());
    mark = qt::MarkLogs();
    pt::RunResult day = pt::RunInProcess(game, next.httpBase + "manifest.json");
    EXPECT_TRUE(day.ready) << qt::Utf8(day.status.detail);
    for (const pt::Entry& e : v2) EXPECT_EQ(qt::ReadBytes(game + L"\\" + qt::Wide(e.path)), e.content) << e.path;
    EXPECT_EQ(Served(mark, next), "/" + next.name + "/files/e.bin ");
    EXPECT_TRUE(Logged(day, "staging: a.bin moved in"));
    EXPECT_TRUE(StagingFiles(game).empty()) << "staging outlived the release it was for";
    EXPECT_FALSE(qt::Exists(game + L"\\" + qt::Wide(kStaging)));
}

// A patch day that fails on another file (here one added to the release after it was announced)
// keeps the pre-loaded copies for the next run, one file at a time and with parallel transfers alike.
TEST(Preload, AFailedPatchDayKeepsWhatWasStaged) {
    for (const char* download : {"", ",\n  \"download\": {\"connections\": 4}"}) {
        PreloadScope scope(L"preload-failed-day");
        const pt::Site live = pt::MakeSite("preload-fd-live"), next = pt::MakeSite("preload-fd-next");
        std::vector<pt::Entry> day = {{"0.bin", "added late", "", "", -1, false}, {"a.bin", "second"}, {"b.bin", "second b"}};
        pt::Publish(next, "2.0", {day[1], day[2]}, {}, {}, download);
        const std::wstring game = qt::FreshDir(L"preload-failed-day");
        qt::WriteBytes(game + L"\\data.qpa", "qpa");
        ASSERT_TRUE(pt::RunInProcess(game, pt::Publish(live, "1.0", {{"a.bin", "first"}}, {}, {}, NextMember(next))).ready);
        ASSERT_EQ(StagingFiles(game).size(), 2u) << download;
        for (const char* gone : {"a.bin", "b.bin"}) DeleteFileW((next.root + L"\\files\\" + qt::Wide(gone)).c_str());

        // 0.bin is not served yet; a.bin and b.bin are no longer served: they can only come from staging.
        EXPECT_FALSE(pt::RunInProcess(game, pt::Publish(next, "2.0", day, {}, {}, download)).ready) << download;
        EXPECT_EQ(StagingFiles(game).size(), 2u) << download;
        day[0].publish = true;
        EXPECT_TRUE(pt::RunInProcess(game, pt::Publish(next, "2.0", day, {}, {}, download)).ready) << download;
        for (const pt::Entry& e : day) EXPECT_EQ(qt::ReadBytes(game + L"\\" + qt::Wide(e.path)), e.content) << download;
    }
}

TEST(Preload, StagingIsClearedWhenTheNextReleaseIsWithdrawnOrRefusedAndKeptWhenItCannotBeHad) {
    PreloadScope scope(L"preload-withdrawn");
    const pt::Site live = pt::MakeSite("preload-wd-live"), next = pt::MakeSite("preload-wd-next");
    const std::vector<pt::Entry> v1 = {{"a.bin", "first"}};
    pt::Publish(next, "2.0", {{"a.bin", "second"}});
    const std::wstring game = qt::FreshDir(L"preload-withdrawn");
    qt::WriteBytes(game + L"\\data.qpa", "qpa");
    struct Step {
        const char* what;
        std::string member;  // the live manifest's next member
        bool staged;         // the staging folder holds the next release's file afterwards
    } steps[] = {
        {"announced", NextMember(next), true},
        {"unreachable", ",\n  \"next\": {\"url\": \"" + pt::RefusingBase("x") + "manifest.json\"}", true},
        {"not a manifest", ",\n  \"next\": {\"url\": \"" + next.httpBase + "files/a.bin\"}", false},
        {"announced again", NextMember(next), true},
        {"withdrawn", "", false},
    };
    for (const Step& s : steps) {
        const std::string url = pt::Publish(live, "1.0", v1, {}, {}, s.member);
        pt::RunResult r = pt::RunInProcess(game, url);
        EXPECT_TRUE(r.ready) << s.what;
        EXPECT_EQ(qt::ReadBytes(Staged(game, "second")), s.staged ? "second" : "") << s.what;
        EXPECT_EQ(StagingFiles(game).size(), s.staged ? 1u : 0u) << s.what;
    }
    EXPECT_FALSE(qt::Exists(game + L"\\" + qt::Wide(kStaging)));
}

// A file or a link in staging's place goes (a link as the link: what it points to is neither read
// nor deleted), and staging is made anew.
TEST(Preload, AFileOrLinkInStagingsPlaceGoesAndStagingIsMadeAnew) {
    PreloadScope scope(L"preload-link");
    const pt::Site live = pt::MakeSite("preload-link-live"), next = pt::MakeSite("preload-link-next");
    pt::Publish(next, "2.0", {{"a.bin", "second"}});
    const std::wstring game = qt::FreshDir(L"preload-link");
    qt::WriteBytes(game + L"\\data.qpa", "qpa");
    qt::WriteBytes(game + L"\\" + qt::Wide(kStaging), "a file of that name");
    EXPECT_TRUE(pt::RunInProcess(game, pt::Publish(live, "1.0", {{"a.bin", "first"}}, {}, {}, NextMember(next))).ready);
    EXPECT_EQ(qt::ReadBytes(Staged(game, "second")), "second");
    qt::RemoveTreeForTest(game + L"\\" + qt::Wide(kStaging));

    const std::wstring outside = qt::FreshDir(L"preload-outside");
    const std::wstring bait = outside + L"\\" + qt::Wide(qt::Sha256Hex("second"));
    qt::WriteBytes(bait, "precious");
    const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    const std::wstring link = game + L"\\" + qt::Wide(kStaging);
    // A relative target first: Wine stores it as an ordinary Unix link.
    const bool made = CreateSymbolicLinkW(link.c_str(), L"..\\preload-outside", flags) ||
                      CreateSymbolicLinkW(link.c_str(), outside.c_str(), flags);
    const DWORD la = GetFileAttributesW(link.c_str());
    if (!made || la == INVALID_FILE_ATTRIBUTES || !(la & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "directory links that report as reparse points cannot be made here";
    EXPECT_TRUE(pt::RunInProcess(game, pt::Publish(live, "1.0", {{"a.bin", "first"}}, {}, {}, NextMember(next))).ready);
    EXPECT_EQ(qt::ReadBytes(bait), "precious");
    EXPECT_EQ(qt::ReadBytes(Staged(game, "second")), "second");
    EXPECT_FALSE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A stop (the window closed, the game started) keeps what a resumable download has; the next run goes
// on from there with a Range request.
TEST(Preload, AStoppedPreloadGoesOnFromItsSideFileAtTheNextRun) {
    PreloadScope scope(L"preload-stop");
    const pt::Site live = pt::MakeSite("preload-stop-live"), next = pt::MakeSite("preload-stop-next");
    std::string big(6u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    // About three seconds at this rate: the stop comes a third of the way in.
    pt::Publish(next, "2.0", {{"big.bin", big, qt::FaultUrl("slow/2000000", next.name + "/files/big.bin")}});
    const std::string url = pt::Publish(live, "1.0", {{"a.bin", "first"}}, {}, {}, NextMember(next));
    const std::wstring game = qt::FreshDir(L"preload-stop");
    qt::WriteBytes(game + L"\\data.qpa", "qpa");
    const std::wstring side = Staged(game, big) + L".patch.tmp";

    pt::RunResult stopped;
    std::thread run([&] { stopped = pt::RunInProcess(game, url); });
    for (int i = 0; i < 2000 && qt::SizeOf(side) < big.size() / 3 && !qt::Exists(Staged(game, big)); ++i) Sleep(10);
    CancelDownload(scope.control.stop);
    run.join();
    EXPECT_TRUE(stopped.ready);
    const uint64_t kept = qt::SizeOf(side);
    ASSERT_GT(kept, 0u) << "the pre-load ended before it could be stopped, or left nothing";
    EXPECT_FALSE(qt::Exists(Staged(game, big)));

    scope.control.stop.cancelled = false;
    const qt::LogMark mark = qt::MarkLogs();
    pt::RunResult again = pt::RunInProcess(game, url);
    EXPECT_TRUE(again.ready);
    EXPECT_TRUE(qt::ReadBytes(Staged(game, big)) == big);
    qt::WaitForRequests(mark, 2, 3000);
    const std::vector<qt::ServerRequest> gets = qt::RequestsFor(mark, next.name + "/files/big.bin");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].Header("Range"), "bytes=" + std::to_string(kept) + "-");
}

// With --auto-close the window waits for the pre-load, and a pre-load that fails leaves the exit code
// of the ready run.
TEST(Preload, AutoCloseWaitsForItAndItsFailureLeavesTheExitCode) {
    const std::string content(3u << 20, 'n');
    const std::wstring exe = qt::BinaryDir() + L"\\QirellPatcher.exe";
    for (const bool served : {true, false}) {
        const pt::Site live = pt::MakeSite("preload-close-live"), next = pt::MakeSite("preload-close-next");
        pt::Publish(next, "2.0", {{"n.bin", content, "", "", -1, served}});
        const std::string url = pt::Publish(live, "1.0", {{"a.bin", "first"}}, {}, {}, NextMember(next));
        const std::wstring game = qt::FreshDir(L"preload-close");
        qt::WriteBytes(game + L"\\data.qpa", "qpa");
        CopyFileW(exe.c_str(), (game + L"\\QirellPatcher.exe").c_str(), FALSE);
        const qt::ProcessResult r =
            qt::RunProcess(game + L"\\QirellPatcher.exe", L"--auto-close --url " + qt::Wide(url), game);
        EXPECT_EQ(r.exitCode, 0u) << served;
        EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "first") << served;
        EXPECT_EQ(qt::ReadBytes(Staged(game, content)) == content, served);
        EXPECT_EQ(StagingFiles(game).size(), served ? 1u : 0u);
    }
}

// A disk without room for the next release: the pre-load does not begin, the run stays ready.
TEST(Preload, AFullDiskStopsItQuietly) {
    const std::string disk = qt::Env("QIRELL_TEST_SMALLDISK");
    if (disk.empty()) GTEST_SKIP() << "no small disk could be mounted for this test (needs tmpfs mounts)";
    PreloadScope scope(L"preload-full");
    const std::wstring game = qt::UnixToWine(disk) + L"\\game";
    qt::RemoveTreeForTest(game);
    qt::MakeDirs(game);
    qt::WriteBytes(game + L"\\data.qpa", "qpa");
    const pt::Site live = pt::MakeSite("preload-full-live"), next = pt::MakeSite("preload-full-next");
    const std::string big(12u << 20, 'b');
    pt::Publish(next, "2.0", {{"big.bin", big}});
    pt::RunResult r = pt::RunInProcess(game, pt::Publish(live, "1.0", {{"a.bin", "first"}}, {}, {}, NextMember(next)));
    EXPECT_EQ(r.returned, 0u);
    EXPECT_TRUE(r.ready);
    EXPECT_TRUE(Logged(r, "pre-load: not enough disk space"));
    EXPECT_TRUE(StagingFiles(game).empty());
    EXPECT_EQ(r.status.headline, L"อัปเดตเสร็จสมบูรณ์ พร้อมเข้าเกม!") << "a failure status was shown";
    qt::RemoveTreeForTest(game);
}
