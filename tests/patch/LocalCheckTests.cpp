// The local check on its worker pool against the plain rule, one file after another.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "HooksScope.h"
#include "PatchTestSite.h"
#include "TestSupport.h"
#include "base/StatusBoard.h"
#include "patch/CheckPool.h"
#include "manifest/PathRule.h"
#include "patch/RunState.h"
#include "digest/FileHash.h"
#include "digest/Sha256.h"
#include "text/Text.h"

namespace {

struct Case {
    std::string path;
    bool download;  // the decision the check must reach
};

struct Folder {
    std::wstring dir;
    std::vector<ManifestFile> files;
    std::vector<Case> cases;
};

std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 11)) & 0xFF);
    return s;
}

std::wstring Local(const std::wstring& dir, const std::string& rel) {
    std::wstring p = dir + L"\\" + qt::Wide(rel);
    for (auto& c : p)
        if (c == L'/') c = L'\\';
    return p;
}

void Put(const std::wstring& dir, const std::string& rel, const std::string& bytes) {
    const std::wstring p = Local(dir, rel);
    qt::MakeDirs(p.substr(0, p.rfind(L'\\')));
    ASSERT_TRUE(qt::WriteBytes(p, bytes));
}

void List(Folder& f, const std::string& path, uint64_t size, const std::string& sha, bool download) {
    f.files.push_back({path, "", size, sha});
    f.cases.push_back({path, download});
}

// Every way a listed file can stand, sizes either side of the read chunk, and a crowd of small files.
Folder MakeFolder() {
    Folder f;
    f.dir = qt::FreshDir(L"patch-local-check");
    const std::string empty = qt::Sha256Hex("");
    const size_t chunk = kHashChunk;
    for (const size_t n : {size_t(1), chunk - 1, chunk, chunk + 1, 3 * chunk + 17}) {
        const std::string name = "sizes/" + std::to_string(n);
        const std::string body = Bytes(n, static_cast<unsigned>(n));
        Put(f.dir, name + ".same", body);
        List(f, name + ".same", n, qt::Sha256Hex(body), false);
        std::string changed = body;
        changed[n - 1] ^= 1;
        Put(f.dir, name + ".last-byte", changed);
        List(f, name + ".last-byte", n, qt::Sha256Hex(body), true);
        Put(f.dir, name + ".longer", body + "x");
        List(f, name + ".longer", n, qt::Sha256Hex(body), true);
    }
    Put(f.dir, "zero", "");
    List(f, "zero", 0, empty, false);
    List(f, "zero", 0, qt::Sha256Hex("x"), true);
    List(f, "missing/file", 10, qt::Sha256Hex("0123456789"), true);
    // Same digest, other size: the size alone decides.
    Put(f.dir, "size-only", "abc");
    List(f, "size-only", 4, qt::Sha256Hex("abc"), true);
    qt::MakeDirs(f.dir + L"\\a-directory");
    List(f, "a-directory", 0, empty, true);
    Put(f.dir, "locked", "held");
    List(f, "locked", 4, qt::Sha256Hex("held"), true);
    Put(f.dir, "ไทย/ไฟล์.txt", "thai");
    List(f, "ไทย/ไฟล์.txt", 4, qt::Sha256Hex("thai"), false);
    // Listed twice and out of date: downloaded and counted twice.
    Put(f.dir, "twice", "old");
    List(f, "twice", 3, qt::Sha256Hex("new"), true);
    List(f, "twice", 3, qt::Sha256Hex("new"), true);
    // Paths that leave the folder are never looked at, whatever is there.
    for (const char* unsafe : {"", "/abs", "\\abs", "C:x", "../outside", "a/../b", "zero:stream"})
        List(f, unsafe, 1, empty, false);
    for (int i = 0; i < 300; ++i) {
        const std::string name = "many/" + std::to_string(i % 7) + "/f" + std::to_string(i);
        const std::string body = Bytes(100 + i * 37 % 5000, i);
        Put(f.dir, name, body);
        const bool stale = i % 11 == 3;
        List(f, name, body.size(), qt::Sha256Hex(stale ? body + "!" : body), stale);
    }
    return f;
}

std::vector<std::string> Paths(const std::vector<ManifestFile>& files) {
    std::vector<std::string> p;
    for (const ManifestFile& e : files) p.push_back(e.path);
    return p;
}

// Held open without sharing: nobody else can read it meanwhile.
struct Held {
    HANDLE h;
    explicit Held(const std::wstring& path)
        : h(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~Held() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

struct InFolder {
    wchar_t previous[MAX_PATH] = {};
    explicit InFolder(const std::wstring& dir) {
        GetCurrentDirectoryW(MAX_PATH, previous);
        SetCurrentDirectoryW(dir.c_str());
    }
    ~InFolder() { SetCurrentDirectoryW(previous); }
};

TEST(LocalCheck, DecisionsAndOrderAreTheListedOnes) {
    Folder f = MakeFolder();
    Held held(Local(f.dir, "locked"));
    ASSERT_NE(held.h, INVALID_HANDLE_VALUE);
    InFolder in(f.dir);

    RunState run;
    run.reporter = &pt::BoardReporter();
    run.manifest.files = f.files;
    run.toDownload.push_back(f.files[0]);  // left over from an earlier run: cleared
    run.bytesTotal = 99;
    CheckLocalFiles(run);

    std::vector<std::string> expected;
    uint64_t expectedBytes = 0;
    for (size_t i = 0; i < f.cases.size(); ++i) {
        if (!f.cases[i].download) continue;
        expected.push_back(f.cases[i].path);
        expectedBytes += f.files[i].size;
    }
    EXPECT_EQ(Paths(run.toDownload), expected);
    EXPECT_EQ(run.bytesTotal, expectedBytes);

    // The last word on the board names one of the files checked, at a step of the bar.
    const StatusSnapshot s = ReadStatus();
    EXPECT_EQ(s.headline, L"กำลังตรวจสอบไฟล์ตัวเกม...");
    const std::wstring prefix = L"ตรวจสอบ ";
    ASSERT_EQ(s.detail.compare(0, prefix.size(), prefix), 0) << qt::Utf8(s.detail);
    bool named = false;
    for (const ManifestFile& e : f.files)
        named = named || (IsSafeRelativePath(e.path) && s.detail.substr(prefix.size()) == ToLocalPath(e.path));
    EXPECT_TRUE(named) << qt::Utf8(s.detail);
    EXPECT_GE(s.progress, 30);
    EXPECT_LE(s.progress, 150);
}

TEST(LocalCheck, AnyNumberOfThreadsGivesTheSameResultsAndAProgressThatNeverGoesBack) {
    Folder f = MakeFolder();
    Held held(Local(f.dir, "locked"));
    ASSERT_NE(held.h, INVALID_HANDLE_VALUE);
    InFolder in(f.dir);
    std::vector<bool> expected;
    for (const Case& c : f.cases)
        if (IsSafeRelativePath(c.path)) expected.push_back(!c.download);
    for (const unsigned threads : {1u, 2u, 3u, 8u}) {
        SCOPED_TRACE(threads);
        std::vector<FileCheck> checks;
        for (const ManifestFile& e : f.files)
            if (IsSafeRelativePath(e.path)) checks.push_back({ToLocalPath(e.path), e.size, &e.sha256});
        std::vector<std::pair<size_t, size_t>> reports;
        CheckFiles(checks, threads, 1, [&](size_t finished, size_t current) { reports.push_back({finished, current}); });
        std::vector<bool> upToDate;
        for (const FileCheck& c : checks) upToDate.push_back(c.upToDate);
        EXPECT_EQ(upToDate, expected);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.front().first, 0u);
        for (size_t i = 0; i < reports.size(); ++i) {
            EXPECT_LT(reports[i].second, checks.size());
            EXPECT_LT(reports[i].first, checks.size()) << "a report after the last file";
            if (i) {
                EXPECT_GE(reports[i].first, reports[i - 1].first) << "report " << i;
            }
        }
    }
    std::vector<FileCheck> none;
    int calls = 0;
    CheckFiles(none, 2, 1, [&](size_t, size_t) { ++calls; });
    EXPECT_EQ(calls, 0);
}

}  // namespace

TEST(LocalCheck, AFailureOnAWorkerReachesTheCallerAfterEveryWorkerEnded) {
    Folder f = MakeFolder();
    InFolder in(f.dir);
    std::vector<FileCheck> checks;
    for (const ManifestFile& e : f.files)
        if (IsSafeRelativePath(e.path)) checks.push_back({ToLocalPath(e.path), e.size, &e.sha256});
    static std::atomic<int> calls{0};
    calls = 0;
    qt::HooksScope hooks;
    gHooks.helperWork = [](const char* where) {
        if (std::string(where) == "check" && ++calls == 5) throw std::bad_alloc();
    };
    for (const unsigned threads : {3u, 8u}) {
        calls = 0;
        EXPECT_THROW(CheckFiles(checks, threads, 1, [](size_t, size_t) {}), std::bad_alloc) << threads;
    }
    // A report that throws while workers still hash (slowed down here) waits for them too.
    gHooks.helperWork = [](const char*) { Sleep(5); };
    int reports = 0;
    EXPECT_THROW(CheckFiles(checks, 4, 1,
                            [&](size_t, size_t) {
                                if (++reports == 2) throw std::runtime_error("report");
                            }),
                 std::runtime_error);
    gHooks.helperWork = nullptr;
    // And the pool works as before afterwards.
    std::vector<FileCheck> alone = checks;
    CheckFiles(alone, 1, 1, [](size_t, size_t) {});
    CheckFiles(checks, 4, 1, [](size_t, size_t) {});
    for (size_t i = 0; i < checks.size(); ++i) EXPECT_EQ(checks[i].upToDate, alone[i].upToDate) << i;
}
