// End-to-end runs of the patch stages in this process, against the loopback web servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <malloc.h>
#include <thread>

#include <winternl.h>

#include "HooksScope.h"
#include "PatchTestSite.h"
#include "TestSupport.h"
#include "UiDriver.h"
#include "base/Handle.h"
#include "patch/RunState.h"
#include "patch/Swap.h"

using pt::Entry;

namespace {

std::wstring Game(const std::string& name) { return qt::FreshDir(L"patch-" + qt::Wide(name)); }

std::wstring At(const std::wstring& dir, const std::string& rel) {
    std::wstring p = dir + L"\\" + qt::Wide(rel);
    for (auto& c : p)
        if (c == L'/') c = L'\\';
    return p;
}

void Put(const std::wstring& game, const std::string& rel, const std::string& bytes) {
    std::wstring p = At(game, rel);
    qt::MakeDirs(p.substr(0, p.rfind(L'\\')));
    ASSERT_TRUE(qt::WriteBytes(p, bytes));
}

std::string Get(const std::wstring& game, const std::string& rel) { return qt::ReadBytes(At(game, rel)); }

// The support log line that begins with start, or "" when the run wrote none.
std::string LogLine(const pt::RunResult& r, const std::string& start) {
    for (const std::string& line : r.log)
        if (line.rfind(start, 0) == 0) return line;
    return "";
}

bool NoSideFiles(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return true;
    bool clean = true;
    do {
        std::wstring n = fd.cFileName;
        if (n == L"." || n == L"..") continue;
        if (n.size() > 10 && n.substr(n.size() - 10) == L".patch.tmp") clean = false;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !NoSideFiles(dir + L"\\" + n)) clean = false;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return clean;
}

std::string AsciiUpper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

int gProbeCalls = 0;
int gProbeRunningFor = 0;  // the probe reports a running client this many times
bool CountingProbe() {
    ++gProbeCalls;
    return gProbeRunningFor-- > 0;
}

struct ProbeScope {
    qt::HooksScope hooks;
    ProbeScope(int runningFor) {
        gProbeCalls = 0;
        gProbeRunningFor = runningFor;
        gHooks.clientRunning = CountingProbe;
    }
};

}  // namespace

TEST(CacheBusting, AppendsTicksWithTheRightSeparator) {
    EXPECT_EQ(CacheBustingUrl(L"https://h/patch/manifest.json", 12345), L"https://h/patch/manifest.json?t=12345");
    EXPECT_EQ(CacheBustingUrl(L"https://h/patch/manifest.json?ch=beta", 7), L"https://h/patch/manifest.json?ch=beta&t=7");
    EXPECT_EQ(CacheBustingUrl(L"x", UINT64_MAX), L"x?t=18446744073709551615");
}

TEST(UpToDate, FetchesOnlyTheManifestAndEndsReadyWithoutTheGuard) {
    pt::Site site = pt::MakeSite("uptodate");
    std::vector<Entry> entries = {{"a.bin", "alpha"}, {"sub/b.txt", std::string(70000, 'b')}};
    std::string url = pt::Publish(site, "1.0", entries);
    std::wstring game = Game("uptodate");
    for (auto& e : entries) Put(game, e.path, e.content);

    ProbeScope probe(1000);  // a "running" client must not matter when nothing changes
    qt::LogMark mark = qt::MarkLogs();
    pt::RunResult r = pt::RunInProcess(game, url, /*autoClose=*/false);
    std::vector<std::string> log = pt::TargetsSince(mark, 1);

    EXPECT_EQ(r.returned, 0u);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.ready);
    EXPECT_EQ(r.status.headline, L"ตัวเกมเป็นเวอร์ชันล่าสุดแล้ว พร้อมเข้าเกม!");
    EXPECT_EQ(r.status.detail, L"เวอร์ชันแพตช์: 1.0 · ตรวจสอบไฟล์ครบถ้วน");
    EXPECT_EQ(r.status.progress, 1000);
    EXPECT_EQ(gProbeCalls, 0);
    EXPECT_EQ(pt::CountStartingWith(log, "/uptodate/manifest.json?t="), 1u) << pt::Joined(log);
    EXPECT_EQ(pt::CountStartingWith(log, "/uptodate/files/"), 0u) << pt::Joined(log);
    ASSERT_FALSE(log.empty());
    const std::string ticks = log[0].substr(log[0].find("?t=") + 3);
    EXPECT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.find_first_not_of("0123456789"), std::string::npos) << log[0];
    EXPECT_TRUE(qt::Exists(game + L"\\savedata\\OptionInfo.lua"));
}

TEST(UpToDate, AddressWithAQueryGetsAmpersandT) {
    pt::Site site = pt::MakeSite("query");
    std::vector<Entry> entries = {{"a.bin", "alpha"}};
    std::string url = pt::Publish(site, "1.0", entries) + "?ch=beta";
    std::wstring game = Game("query");
    qt::LogMark mark = qt::MarkLogs();
    pt::RunResult r = pt::RunInProcess(game, url);
    std::vector<std::string> log = pt::TargetsSince(mark, 2);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(pt::CountStartingWith(log, "/query/manifest.json?ch=beta&t="), 1u) << pt::Joined(log);
    // File addresses are resolved without the manifest's query.
    EXPECT_EQ(pt::CountStartingWith(log, "/query/files/a.bin"), 1u) << pt::Joined(log);
    EXPECT_EQ(Get(game, "a.bin"), "alpha");
}

TEST(Downloads, MissingAndDifferingFilesAreReplacedAndReadOnlyIsCleared) {
    pt::Site site = pt::MakeSite("differ");
    const std::string big(300000, 'q');
    std::vector<Entry> entries = {
        {"new/sub/file.dat", "brand new"},
        {"samesize.bin", "NEWNEW"},
        {"sizediff.bin", "longer content"},
        {"caps.bin", "capitals", "", AsciiUpper(qt::Sha256Hex("capitals"))},
        {"readonly.bin", big},
        {"kept.bin", "kept"},
    };
    std::string url = pt::Publish(site, "2.0", entries);
    std::wstring game = Game("differ");
    Put(game, "samesize.bin", "OLDOLD");
    Put(game, "sizediff.bin", "short");
    Put(game, "caps.bin", "old caps");
    Put(game, "readonly.bin", "old");
    Put(game, "kept.bin", "kept");
    SetFileAttributesW(At(game, "readonly.bin").c_str(), FILE_ATTRIBUTE_READONLY);

    qt::LogMark mark = qt::MarkLogs();
    pt::RunResult r = pt::RunInProcess(game, url);
    std::vector<std::string> log = pt::TargetsSince(mark, 6);

    ASSERT_EQ(r.exitCode, 0) << qt::Utf8(r.status.headline) << " / " << qt::Utf8(r.status.detail);
    EXPECT_EQ(r.status.headline, L"อัปเดตเสร็จสมบูรณ์ พร้อมเข้าเกม!");
    EXPECT_EQ(r.status.detail, L"เวอร์ชันแพตช์: 2.0 · อัปเดต 5 ไฟล์เรียบร้อยแล้ว");
    for (auto& e : entries) EXPECT_EQ(Get(game, e.path), e.content) << e.path;
    EXPECT_FALSE(GetFileAttributesW(At(game, "readonly.bin").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(pt::CountStartingWith(log, "/differ/files/kept.bin"), 0u);
    EXPECT_EQ(pt::CountStartingWith(log, "/differ/files/new/sub/file.dat"), 1u);
    EXPECT_TRUE(NoSideFiles(game));
}

TEST(Downloads, DefaultRelativeAndAbsoluteAddresses) {
    pt::Site site = pt::MakeSite("addr");
    std::vector<Entry> entries = {
        {"default.bin", "d"},
        {"relative.bin", "r", "elsewhere/rel.bin"},
        {"absolute.bin", "a", site.httpBase + "abs/a.bin"},
    };
    std::string url = pt::Publish(site, "3", entries);
    qt::MakeDirs(site.root + L"\\elsewhere");
    qt::MakeDirs(site.root + L"\\abs");
    qt::WriteBytes(site.root + L"\\elsewhere\\rel.bin", "r");
    qt::WriteBytes(site.root + L"\\abs\\a.bin", "a");
    std::wstring game = Game("addr");
    qt::LogMark mark = qt::MarkLogs();
    pt::RunResult r = pt::RunInProcess(game, url + "?x=1");
    std::vector<std::string> log = pt::TargetsSince(mark, 4);
    ASSERT_EQ(r.exitCode, 0) << qt::Utf8(r.status.detail);
    EXPECT_EQ(pt::CountStartingWith(log, "/addr/files/default.bin"), 1u) << pt::Joined(log);
    EXPECT_EQ(pt::CountStartingWith(log, "/addr/elsewhere/rel.bin"), 1u) << pt::Joined(log);
    EXPECT_EQ(pt::CountStartingWith(log, "/addr/abs/a.bin"), 1u) << pt::Joined(log);
    EXPECT_EQ(Get(game, "relative.bin"), "r");
    EXPECT_EQ(Get(game, "absolute.bin"), "a");
}

TEST(Failures, ManifestFetchAndParseFailuresEndWithExitOneAndTouchNothing) {
    pt::Site site = pt::MakeSite("badmanifest");
    std::wstring game = Game("badmanifest");
    Put(game, "a.bin", "old");

    pt::RunResult missing = pt::RunInProcess(game, site.httpBase + "manifest.json");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.returned, 1u);
    EXPECT_FALSE(missing.ready);
    EXPECT_EQ(missing.status.headline, L"เกิดข้อผิดพลาดในการเชื่อมต่อ");
    EXPECT_EQ(missing.status.detail, L"เซิร์ฟเวอร์ตอบกลับ HTTP 404");
    EXPECT_NE(LogLine(missing, "manifest ").find(": HTTP 404"), std::string::npos) << LogLine(missing, "manifest ");
    EXPECT_EQ(missing.status.progress, 0);

    pt::RunResult refused = pt::RunInProcess(game, "http://localhost:1/patch/manifest.json");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.status.headline, L"เกิดข้อผิดพลาดในการเชื่อมต่อ");
    EXPECT_EQ(refused.status.detail, L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่สำเร็จ (ตรวจสอบอินเทอร์เน็ต)");

    // The address as it was requested, cache-busting query included.
    pt::RunResult unusable = pt::RunInProcess(game, "ftp://localhost/manifest.json");
    EXPECT_EQ(unusable.exitCode, 1);
    EXPECT_EQ(unusable.status.detail.rfind(L"URL ไม่ถูกต้อง: ftp://localhost/manifest.json?t=", 0), 0u)
        << qt::Utf8(unusable.status.detail);

    // A manifest cut short is a lost connection, not an unreadable manifest.
    qt::WriteBytes(site.root + L"\\manifest.json",
                   pt::ManifestText("cut", {{"a.bin", "new"}, {"b.bin", std::string(300, 'b')}}, {}, {}, ""));
    pt::RunResult cut = pt::RunInProcess(game, qt::FaultUrl("cut/150", "badmanifest/manifest.json"));
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_EQ(cut.status.headline, L"เกิดข้อผิดพลาดในการเชื่อมต่อ");
    EXPECT_EQ(cut.status.detail, L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่สำเร็จ (ตรวจสอบอินเทอร์เน็ต)");
    EXPECT_EQ(Get(game, "a.bin"), "old");

    for (const std::string body : {"", "not json", "{}", "{\"files\": [{\"path\": \"a.bin\"}]}",
                                   "{\"files\": [{\"path\": \"a.bin\", \"sha256\": \"x\", \"size\": \"3\"}]}"}) {
        qt::WriteBytes(site.root + L"\\manifest.json", body);
        pt::RunResult r = pt::RunInProcess(game, site.httpBase + "manifest.json");
        EXPECT_EQ(r.exitCode, 1) << body;
        EXPECT_EQ(r.status.headline, L"ข้อมูลแพตช์ไม่ถูกต้อง") << body;
        EXPECT_EQ(r.status.detail, L"ไม่สามารถอ่านไฟล์ manifest.json จากเซิร์ฟเวอร์ได้") << body;
        EXPECT_EQ(r.status.progress, 0);
    }
    EXPECT_EQ(Get(game, "a.bin"), "old");
    EXPECT_FALSE(qt::Exists(game + L"\\savedata"));
}

TEST(Failures, WrongDigestKeepsTheOldFileAndLeavesNoSideFile) {
    pt::Site site = pt::MakeSite("wrongdigest");
    std::vector<Entry> entries = {{"a.bin", "served", "", std::string(64, '0')}};
    std::string url = pt::Publish(site, "1", entries);
    std::wstring game = Game("wrongdigest");
    Put(game, "a.bin", "old");
    pt::RunResult r = pt::RunInProcess(game, url);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.status.headline, L"อัปเดตไม่สำเร็จ");
    EXPECT_EQ(r.status.detail, L"ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: a.bin");
    EXPECT_EQ(r.status.progress, 0);
    EXPECT_EQ(Get(game, "a.bin"), "old");
    EXPECT_TRUE(NoSideFiles(game));
}

TEST(Failures, ThirdOfFiveFailingLeavesOneAndTwoNewAndTheNextRunFetchesOnlyTheRest) {
    pt::Site site = pt::MakeSite("fiveof");
    std::vector<Entry> entries;
    for (int i = 1; i <= 5; ++i) entries.push_back({"f" + std::to_string(i) + ".bin", "new " + std::to_string(i)});
    entries[2].publish = false;
    std::string url = pt::Publish(site, "5", entries);
    std::wstring game = Game("fiveof");
    for (int i = 1; i <= 5; ++i) Put(game, "f" + std::to_string(i) + ".bin", "old " + std::to_string(i));

    pt::RunResult first = pt::RunInProcess(game, url);
    EXPECT_EQ(first.exitCode, 1);
    EXPECT_EQ(first.status.headline, L"อัปเดตไม่สำเร็จ");
    EXPECT_EQ(first.status.detail, L"ดาวน์โหลด f3.bin ไม่สำเร็จ (HTTP 404)");
    EXPECT_EQ(Get(game, "f1.bin"), "new 1");
    EXPECT_EQ(Get(game, "f2.bin"), "new 2");
    for (int i = 3; i <= 5; ++i) EXPECT_EQ(Get(game, "f" + std::to_string(i) + ".bin"), "old " + std::to_string(i));
    EXPECT_TRUE(NoSideFiles(game));
    const std::string manifestLine = LogLine(first, "manifest ");
    EXPECT_EQ(manifestLine.rfind("manifest " + url + "?t=", 0), 0u) << manifestLine;
    EXPECT_NE(manifestLine.find(": version \"5\", 5 files, signature not checked (no keys)"), std::string::npos);
    EXPECT_EQ(LogLine(first, "5 files to fetch"), "5 files to fetch (25 bytes), 0 files and 0 folders to remove");
    EXPECT_EQ(LogLine(first, "fetch f2.bin"), "fetch f2.bin (whole, 5 bytes): verified");
    EXPECT_EQ(LogLine(first, "fetch f3.bin"), "fetch f3.bin (whole, 5 bytes): HTTP 404");
    EXPECT_EQ(LogLine(first, "fetch f4.bin"), "");  // never started
    EXPECT_EQ(LogLine(first, "end: ").rfind("end: exit 1 (failed) after ", 0), 0u) << LogLine(first, "end: ");

    entries[2].publish = true;
    pt::Publish(site, "5", entries);
    qt::LogMark mark = qt::MarkLogs();
    pt::RunResult second = pt::RunInProcess(game, url);
    std::vector<std::string> log = pt::TargetsSince(mark, 4);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.status.detail, L"เวอร์ชันแพตช์: 5 · อัปเดต 3 ไฟล์เรียบร้อยแล้ว");
    EXPECT_EQ(LogLine(second, "3 files to fetch"), "3 files to fetch (15 bytes), 0 files and 0 folders to remove");
    EXPECT_EQ(LogLine(second, "end: ").rfind("end: exit 0 (ready) after ", 0), 0u) << LogLine(second, "end: ");
    EXPECT_EQ(pt::CountStartingWith(log, "/fiveof/files/f1.bin"), 0u);
    EXPECT_EQ(pt::CountStartingWith(log, "/fiveof/files/f2.bin"), 0u);
    for (int i = 3; i <= 5; ++i)
        EXPECT_EQ(pt::CountStartingWith(log, "/fiveof/files/f" + std::to_string(i) + ".bin"), 1u) << pt::Joined(log);
}

TEST(Failures, LockedTargetFailsAfterRetriesAndNamesThePath) {
    pt::Site site = pt::MakeSite("locked");
    std::vector<Entry> entries = {{"first.bin", "one"}, {"locked.bin", "two"}};
    std::string url = pt::Publish(site, "1", entries);
    std::wstring game = Game("locked");
    Put(game, "locked.bin", "held");
    HANDLE held = CreateFileW(At(game, "locked.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    pt::RunResult r = pt::RunInProcess(game, url);
    CloseHandle(held);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.status.headline, L"เขียนทับไฟล์ไม่สำเร็จ");
    EXPECT_EQ(r.status.detail, L"ไม่สามารถอัปเดต locked.bin (กรุณาปิดเกมก่อนอัปเดต)");
    EXPECT_EQ(LogLine(r, "swap locked.bin"),
              "swap locked.bin: failed after 30 attempts, the target was held (error 5)");
    EXPECT_EQ(r.status.progress, 0);
    EXPECT_EQ(Get(game, "first.bin"), "one");
    EXPECT_EQ(Get(game, "locked.bin"), "held");
    EXPECT_TRUE(NoSideFiles(game));
}

TEST(PathRule, UnsafePathsAreNeverRequestedWrittenOrDeleted) {
    pt::Site site = pt::MakeSite("unsafe");
    std::wstring parent = qt::FreshDir(L"patch-unsafe-parent");
    std::wstring game = parent + L"\\game";
    qt::MakeDirs(game);
    qt::WriteBytes(parent + L"\\victim.txt", "keep");
    qt::MakeDirs(parent + L"\\victimdir");
    qt::WriteBytes(parent + L"\\victimdir\\x.txt", "keep");
    std::vector<Entry> entries = {{"ok.bin", "fine"},
                                  {"/abs.bin", "x", "", "", -1, false},
                                  {"\\back.bin", "x", "", "", -1, false},
                                  {"C:x.bin", "x", "", "", -1, false},
                                  {"a/../../victim.txt", "x", "", "", -1, false},
                                  {"a..b", "x", "", "", -1, false},
                                  {"f.txt:s", "x", "", "", -1, false}};
    std::string url = pt::Publish(site, "1", entries, {"../victim.txt", "..\\victim.txt", "C:\\x", ""},
                                  {"../victimdir", "..\\victimdir", "/victimdir", ""},
                                  ",\n  \"files\": [{\"path\": \"\", \"sha256\": \"00\"}]");
    qt::LogMark mark = qt::MarkLogs();
    pt::RunResult r = pt::RunInProcess(game, url);
    std::vector<std::string> log = pt::TargetsSince(mark, 2);
    EXPECT_EQ(r.exitCode, 0) << qt::Utf8(r.status.detail);
    EXPECT_EQ(r.status.detail, L"เวอร์ชันแพตช์: 1 · อัปเดต 1 ไฟล์เรียบร้อยแล้ว");
    EXPECT_EQ(pt::CountStartingWith(log, "/unsafe/files/"), 1u) << pt::Joined(log);
    EXPECT_EQ(qt::ReadBytes(parent + L"\\victim.txt"), "keep");
    EXPECT_EQ(qt::ReadBytes(parent + L"\\victimdir\\x.txt"), "keep");
    EXPECT_FALSE(qt::Exists(game + L"\\a..b"));
    EXPECT_FALSE(qt::Exists(game + L"\\f.txt"));
}

TEST(Removals, FilesAndTreesGoWhileDataIsProtected) {
    pt::Site site = pt::MakeSite("removals");
    std::wstring game = Game("removals");
    Put(game, "old/legacy.dll", "x");
    SetFileAttributesW(At(game, "old/legacy.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    Put(game, "cache/a/b/deep.bin", "x");
    Put(game, "cache/ro.bin", "x");
    SetFileAttributesW(At(game, "cache/ro.bin").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW(At(game, "cache/a").c_str(), FILE_ATTRIBUTE_READONLY);
    Put(game, "data/keep.spr", "keep");
    Put(game, "isfile.txt", "stays: named as a directory");
    Put(game, "isdir/inside.txt", "stays: named as a file");
    Put(game, "both.bin", "old both");
    std::vector<Entry> entries = {{"both.bin", "new both"}, {"fresh.bin", "fresh"}};
    std::string url = pt::Publish(site, "9", entries, {"old/legacy.dll", "isdir", "both.bin", "fresh.bin"},
                                  {"cache", "Data", "DATA", "data", "isfile.txt", "missing"});
    pt::RunResult r = pt::RunInProcess(game, url);
    ASSERT_EQ(r.exitCode, 0) << qt::Utf8(r.status.detail);
    EXPECT_FALSE(qt::Exists(At(game, "old/legacy.dll")));
    EXPECT_FALSE(qt::Exists(At(game, "cache")));
    EXPECT_EQ(Get(game, "data/keep.spr"), "keep");
    EXPECT_EQ(Get(game, "isfile.txt"), "stays: named as a directory");
    EXPECT_TRUE(qt::Exists(At(game, "isdir/inside.txt")));
    // Selected before the downloads: an existing file is replaced, then removed; a new one stays.
    EXPECT_FALSE(qt::Exists(At(game, "both.bin")));
    EXPECT_EQ(Get(game, "fresh.bin"), "fresh");
}

TEST(Removals, NoSpellingOfTheFolderOrDataIsRemovedAndAHeldFileStays) {
    pt::Site site = pt::MakeSite("removals2");
    std::wstring game = Game("removals2");
    Put(game, "data/x.spr", "x");
    Put(game, "data/old.bmp", "old");
    Put(game, "savedata/slot1", "save");
    Put(game, "top.txt", "top");
    Put(game, "tree/held.bin", "held");
    Put(game, "tree/other.bin", "other");
    Put(game, "tree/sub/more.bin", "more");
    HANDLE held = CreateFileW(At(game, "tree/held.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string url = pt::Publish(site, "1", {{"a.bin", "a"}}, {".", "data", "data/old.bmp", ". "},
                                  {".", "./", ".\\", "./.", ". .", " ", "a/..", "data/", "./data", "data.", "data ",
                                   "DATA\\", "data/.", "tree"});
    pt::RunResult r = pt::RunInProcess(game, url);
    CloseHandle(held);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.ready);
    EXPECT_EQ(Get(game, "data/x.spr"), "x");
    EXPECT_FALSE(qt::Exists(At(game, "data/old.bmp")));
    EXPECT_EQ(Get(game, "savedata/slot1"), "save");
    EXPECT_EQ(Get(game, "top.txt"), "top");
    EXPECT_EQ(Get(game, "a.bin"), "a");
    EXPECT_EQ(Get(game, "tree/held.bin"), "held");
    EXPECT_FALSE(qt::Exists(At(game, "tree/other.bin")));
    EXPECT_FALSE(qt::Exists(At(game, "tree/sub")));
}

TEST(RemoveTreeLinks, ALinkInsideTheTreeIsRemovedWithoutEnteringItsTarget) {
    std::wstring base = qt::FreshDir(L"patch-links");
    qt::MakeDirs(base + L"\\outside");
    qt::WriteBytes(base + L"\\outside\\precious.txt", "keep");
    qt::MakeDirs(base + L"\\tree");
    qt::WriteBytes(base + L"\\tree\\a.txt", "x");
    // Relative targets first: Wine stores them as ordinary Unix links.
    const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    bool made = CreateSymbolicLinkW((base + L"\\tree\\link").c_str(), L"..\\outside", flags) ||
                CreateSymbolicLinkW((base + L"\\tree\\link").c_str(), (base + L"\\outside").c_str(), flags);
    const DWORD la = GetFileAttributesW((base + L"\\tree\\link").c_str());
    if (!made || la == INVALID_FILE_ATTRIBUTES || !(la & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "directory links that report as reparse points cannot be made here";
    ASSERT_TRUE(qt::Exists(base + L"\\tree\\link\\precious.txt"));
    EXPECT_TRUE(RemoveTree(base + L"\\tree"));
    EXPECT_FALSE(qt::Exists(base + L"\\tree"));
    EXPECT_EQ(qt::ReadBytes(base + L"\\outside\\precious.txt"), "keep");
    // A listed directory that is itself a link goes as a link.
    ASSERT_TRUE(CreateSymbolicLinkW((base + L"\\toplink").c_str(), L"outside", flags));
    EXPECT_TRUE(RemoveTree(base + L"\\toplink"));
    EXPECT_FALSE(qt::Exists(base + L"\\toplink"));
    EXPECT_EQ(qt::ReadBytes(base + L"\\outside\\precious.txt"), "keep");
}

TEST(RemoveTreeLinks, AFileIsNotATree) {
    std::wstring base = qt::FreshDir(L"patch-notatree");
    qt::WriteBytes(base + L"\\f", "x");
    EXPECT_FALSE(RemoveTree(base + L"\\f"));
    EXPECT_TRUE(qt::Exists(base + L"\\f"));
    EXPECT_TRUE(RemoveTree(base + L"\\never-there"));
}

TEST(SelfUpdate, TheRunningProgramsNameIsMovedAsideOnlyAtTheTop) {
    pt::Site site = pt::MakeSite("selfupdate");
    std::wstring game = Game("selfupdate");
    Put(game, "Updater.exe", "old self");
    Put(game, "Updater.exe.old", "older leftover");
    Put(game, "tools/Updater.exe", "old tool");
    std::vector<Entry> entries = {{"UPDATER.EXE", "new self"}, {"tools/Updater.exe", "new tool"}};
    std::string url = pt::Publish(site, "1", entries);
    std::wstring savedName = pt::TestConfig().exeName;
    pt::TestConfig().exeName = L"Updater.exe";
    pt::RunResult r = pt::RunInProcess(game, url);
    pt::TestConfig().exeName = savedName;
    ASSERT_EQ(r.exitCode, 0) << qt::Utf8(r.status.detail);
    EXPECT_EQ(Get(game, "Updater.exe"), "new self");
    EXPECT_EQ(Get(game, "Updater.exe.old"), "old self");
    EXPECT_EQ(Get(game, "tools/Updater.exe"), "new tool");
    EXPECT_FALSE(qt::Exists(At(game, "tools/Updater.exe.old")));
}

// The side file cannot be moved in: after every attempt the old build is back under its own name.
TEST(SelfUpdate, EveryFailedSwapPutsTheRunningProgramBack) {
    std::wstring game = Game("selfswap");
    Put(game, "Updater.exe", "old self");
    Put(game, "Updater.exe.patch.tmp", "new self");
    HANDLE held = CreateFileW(At(game, "Updater.exe.patch.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(game.c_str());
    PrepareTarget(L"Updater.exe", true);
    const bool swapped = SwapIntoPlace(L"Updater.exe.patch.tmp", L"Updater.exe", true);
    SetCurrentDirectoryW(previous);
    CloseHandle(held);
    EXPECT_FALSE(swapped);
    EXPECT_EQ(Get(game, "Updater.exe"), "old self");
    EXPECT_FALSE(qt::Exists(At(game, "Updater.exe.old")));
    EXPECT_EQ(Get(game, "Updater.exe.patch.tmp"), "new self");
}

TEST(Guard, RetryAsksAgainWhileTheClientRunsAndCancelEndsTheRun) {
    pt::Site site = pt::MakeSite("guard");
    std::string url = pt::Publish(site, "1", {{"a.bin", "new"}});
    std::wstring game = Game("guard");
    Put(game, "a.bin", "old");

    const std::wstring kQuestion =
        L"ตรวจพบว่าตัวเกม Qirell QX กำลังเปิดอยู่\n\nกรุณาปิดเกมทุกจอก่อนทำการอัปเดตไฟล์ แล้วกด ลองใหม่ (Retry)";
    {
        ProbeScope probe(1000);
        pt::RunResult r = pt::RunInProcess(game, url, /*autoClose=*/false, {true, true, false});
        EXPECT_EQ(r.questions, std::vector<std::wstring>(3, kQuestion));
        EXPECT_EQ(gProbeCalls, 3);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.status.headline, L"ยกเลิกการอัปเดต");
        EXPECT_EQ(r.status.detail, L"กรุณาปิดเกม Qirell QX ทุกจอก่อนกดอัปเดตอีกครั้ง");
        EXPECT_EQ(r.status.progress, 0);
        EXPECT_EQ(Get(game, "a.bin"), "old");
    }
    {
        ProbeScope probe(1);  // closed after the first Retry
        pt::RunResult r = pt::RunInProcess(game, url, /*autoClose=*/false, {true});
        EXPECT_EQ(r.questions.size(), 1u);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(Get(game, "a.bin"), "new");
    }
    {
        ProbeScope probe(1000);  // auto-close never asks
        Put(game, "a.bin", "old again");
        pt::RunResult r = pt::RunInProcess(game, url, /*autoClose=*/true);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.questions.empty());
        EXPECT_EQ(gProbeCalls, 1);
        EXPECT_EQ(Get(game, "a.bin"), "new");
    }
}

TEST(Https, AFullUpdateOverTls) {
    pt::Site site = pt::MakeSite("tls");
    std::vector<Entry> entries = {{"a.bin", std::string(200000, 'z')}, {"b/c.bin", "c"}};
    pt::Publish(site, "tls", entries);
    std::wstring game = Game("tls");
    pt::RunResult r = pt::RunInProcess(game, site.httpsBase + "manifest.json");
    ASSERT_EQ(r.exitCode, 0) << qt::Utf8(r.status.headline) << " / " << qt::Utf8(r.status.detail);
    for (auto& e : entries) EXPECT_EQ(Get(game, e.path), e.content);
}

TEST(LongPaths, AGameFolderDeeperThanMaxPathIsPatchedInPlace) {
    pt::Site site = pt::MakeSite("longpaths");
    std::wstring game = qt::FreshDir(L"patch-long");
    for (int i = 0; i < 6; ++i) game += L"\\" + std::wstring(45, static_cast<wchar_t>(L'a' + i));
    qt::MakeDirs(game);
    if (!qt::Exists(game)) GTEST_SKIP() << "folders past MAX_PATH cannot be made here";
    ASSERT_GT(game.size(), 260u);
    const std::string deepName = "sub/" + std::string(40, 'n') + ".bin";
    std::string url = pt::Publish(site, "1", {{deepName, "deep"}, {"top.bin", "top"}}, {"gone.bin"});
    qt::WriteBytes(game + L"\\gone.bin", "x");
    pt::RunResult r = pt::RunInProcess(game, url);
    ASSERT_EQ(r.exitCode, 0) << qt::Utf8(r.status.headline) << " / " << qt::Utf8(r.status.detail);
    EXPECT_EQ(qt::ReadBytes(game + L"\\top.bin"), "top");
    EXPECT_EQ(qt::ReadBytes(game + L"\\sub\\" + std::wstring(40, L'n') + L".bin"), "deep");
    EXPECT_FALSE(qt::Exists(game + L"\\gone.bin"));
}

// One directory (or file) named name inside the open directory parent, without a path: built from
// the full path, a tree this deep costs minutes under Wine.
UniqueHandle CreateInside(HANDLE parent, const wchar_t* name, bool directory, ULONG attributes = 0) {
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name);
    text.Length = text.MaximumLength = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE made = nullptr;
    const ULONG options = (directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE) | FILE_SYNCHRONOUS_IO_NONALERT;
    const NTSTATUS status =
        NtCreateFile(&made, FILE_GENERIC_READ | FILE_GENERIC_WRITE | SYNCHRONIZE, &oa, &io, nullptr,
                     attributes | FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_CREATE, options, nullptr, 0);
    return UniqueHandle(status >= 0 ? made : nullptr);
}

// Far beyond MAX_PATH, removed on a thread whose stack could not hold one frame per level (a directory
// listing's record alone is 592 bytes). Removal under Wine costs the square of the depth: make test
// goes 400 levels deep, make soak 1000, QIRELL_DEEP_LEVELS deeper.
TEST(RemoveTreeDepth, ATreeHundredsOfLevelsDeepGoesOnASmallStack) {
    const std::string levelsText = qt::Env("QIRELL_DEEP_LEVELS");
    const int levels =
        std::max(pt::SoakRounds(0) > 0 ? 1000 : 400, levelsText.empty() ? 0 : std::atoi(levelsText.c_str()));
    const std::wstring base = qt::FreshDir(L"patch-deep");
    UniqueFile top(CreateFileW(base.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(top);
    UniqueHandle dir(top.release());
    for (int level = 0; level < levels; ++level) {
        UniqueHandle child = CreateInside(dir.get(), level == 0 ? L"deep" : L"d", true);
        ASSERT_TRUE(child) << "level " << level;
        if (level % 100 == 99) {
            ASSERT_TRUE(CreateInside(child.get(), L"f.bin", false, FILE_ATTRIBUTE_READONLY));
        }
        dir = std::move(child);
    }
    dir.reset();
    struct Job {
        std::wstring dir;
        bool removed = false;
    };
    // On the heap: a thread still running when the wait gives up must not outlive what it reads.
    Job* job = new Job{base + L"\\deep"};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* param) -> DWORD {
            // Use up all but 64 KiB of whatever stack the platform gave this thread.
            ULONG_PTR low = 0, high = 0;
            GetCurrentThreadStackLimits(&low, &high);
            const ULONG_PTR here = reinterpret_cast<ULONG_PTR>(&low);
            if (here - low > 96 * 1024) {
                volatile char* pad = static_cast<char*>(_alloca(here - low - 64 * 1024));
                pad[0] = 0;
            }
            auto* j = static_cast<Job*>(param);
            j->removed = RemoveTree(j->dir);
            return 0;
        },
        job, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const DWORD waited = WaitForSingleObject(thread, 300000);
    CloseHandle(thread);
    ASSERT_EQ(waited, WAIT_OBJECT_0);  // the job is left to the thread then
    const bool removed = job->removed;
    delete job;
    EXPECT_TRUE(removed) << levels << " levels";
    EXPECT_FALSE(qt::Exists(base + L"\\deep"));
}
