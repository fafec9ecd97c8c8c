// The remembering patcher's local check: a file is taken as verified without being read only when its
// size, write time, change time and file ID are those recorded with the manifest's digest; everything
// else is hashed as before.
#include <gtest/gtest.h>

#include <map>

#include "PatchTestSite.h"
#include "TestSupport.h"
#include "patch/RunMemory.h"
#include "state/StateFile.h"

using pt::Entry;

namespace {

const char kReuse[] = ",\n  \"check\": {\"reuse_verified\": true}";

// Runs of this scope keep their state in a fresh folder of their own.
struct StateScope {
    std::wstring saved = pt::TestConfig().stateFolder;
    std::wstring folder;
    explicit StateScope(const std::wstring& name) : folder(qt::FreshDir(L"state-" + name)) {
        pt::TestConfig().stateFolder = folder;
    }
    ~StateScope() {
        pt::TestConfig().stateFolder = saved;
        pt::TestConfig().fullCheck = false;
    }
    std::wstring PathFor(const std::wstring& game) const {
        FolderIdentity id;
        EXPECT_TRUE(IdentifyFolder(game, id));
        return StateFilePath(folder, id);
    }
};

// "check <path>: <why>" lines of a run, by path.
std::map<std::string, std::string> Decisions(const pt::RunResult& r) {
    std::map<std::string, std::string> out;
    for (const std::string& line : r.log) {
        if (line.rfind("check ", 0) != 0) continue;
        const size_t colon = line.rfind(": ");
        if (colon != std::string::npos) out[line.substr(6, colon - 6)] = line.substr(colon + 2);
    }
    return out;
}

std::vector<Entry> Files(int n) {
    std::vector<Entry> entries;
    for (int i = 0; i < n; ++i) entries.push_back({"d/f" + std::to_string(i) + ".bin", qt::Pattern(5000 + i, 40 + i)});
    return entries;
}

std::wstring At(const std::wstring& game, const Entry& e) {
    std::wstring p = game + L"\\" + qt::Wide(e.path);
    for (auto& c : p)
        if (c == L'/') c = L'\\';
    return p;
}

std::wstring CurrentGame(const std::string& name, const std::vector<Entry>& entries) {
    std::wstring game = qt::FreshDir(L"fast-" + qt::Wide(name));
    qt::MakeDirs(game + L"\\d");
    for (const Entry& e : entries) qt::WriteBytes(At(game, e), e.content);
    return game;
}

std::map<std::string, std::string> All(const std::vector<Entry>& entries, const std::string& why) {
    std::map<std::string, std::string> out;
    for (const Entry& e : entries) out[e.path] = why;
    return out;
}

FolderState Load(const StateScope& scope, const std::wstring& game) {
    FolderIdentity id;
    EXPECT_TRUE(IdentifyFolder(game, id));
    FolderState s;
    EXPECT_EQ(LoadFolderState(scope.PathFor(game), id, s), StateLoad::Loaded);
    return s;
}

FILETIME WriteTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA a{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a);
    return a.ftLastWriteTime;
}

void SetWriteTime(const std::wstring& path, FILETIME t) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFileTime(h, nullptr, nullptr, &t);
    CloseHandle(h);
}

}  // namespace

TEST(FastStart, ReusedOnlyWhenAllFourValuesAndTheDigestAreTheRecordedOnes) {
    StateScope scope(L"four");
    const std::vector<Entry> entries = Files(6);
    pt::Site site = pt::MakeSite("fast-four");
    const std::string url = pt::Publish(site, "1", entries, {}, {}, kReuse);
    const std::wstring game = CurrentGame("four", entries);

    pt::RunResult first = pt::RunInProcess(game, url);
    ASSERT_TRUE(first.ready);
    EXPECT_EQ(Decisions(first), All(entries, "up to date"));
    pt::RunResult second = pt::RunInProcess(game, url);
    ASSERT_TRUE(second.ready);
    EXPECT_EQ(Decisions(second), All(entries, "reused"));

    // One recorded value changed per file; the last file keeps its record.
    FolderState s = Load(scope, game);
    ASSERT_EQ(s.files.size(), entries.size());
    std::map<std::string, std::string> expected = All(entries, "up to date");
    for (FileRecord& r : s.files) {
        if (r.path == entries[0].path) r.identity.size += 1;
        else if (r.path == entries[1].path) r.identity.lastWrite += 1;
        else if (r.path == entries[2].path) r.identity.changed += 1;
        else if (r.path == entries[3].path) r.identity.id[0] ^= 1;
        else if (r.path == entries[4].path) {
            r.sha256[0] ^= 1;
            expected[r.path] = "differs from its record";
        } else {
            expected[r.path] = "reused";
        }
    }
    ASSERT_TRUE(SaveFolderState(scope.PathFor(game), s));
    pt::RunResult third = pt::RunInProcess(game, url);
    ASSERT_TRUE(third.ready);
    EXPECT_EQ(Decisions(third), expected);

    // A manifest whose digest changed for a file still as recorded: it differs without being read.
    std::vector<Entry> changed = entries;
    changed[5].content = "new content";
    const std::string url2 = pt::Publish(site, "2", changed, {}, {}, kReuse);
    pt::RunResult fourth = pt::RunInProcess(game, url2);
    ASSERT_TRUE(fourth.ready);
    EXPECT_EQ(Decisions(fourth)[entries[5].path], "differs from its record");
    EXPECT_EQ(qt::ReadBytes(At(game, entries[5])), "new content");
}

TEST(FastStart, ChangesOnDiskAreCaughtAndFilesJustSwappedInAreRecordedAsTheyAreNow) {
    StateScope scope(L"changes");
    const std::vector<Entry> entries = Files(4);
    pt::Site site = pt::MakeSite("fast-changes");
    const std::string url = pt::Publish(site, "1", entries, {}, {}, kReuse);
    const std::wstring game = CurrentGame("changes", entries);
    ASSERT_TRUE(pt::RunInProcess(game, url).ready);

    // New bytes of the same length with the write time put back; a longer file; a file touched only.
    const FILETIME before = WriteTime(At(game, entries[0]));
    std::string other = entries[0].content;
    other[100] ^= 1;
    qt::WriteBytes(At(game, entries[0]), other);
    SetWriteTime(At(game, entries[0]), before);
    qt::WriteBytes(At(game, entries[1]), entries[1].content + "x");
    FILETIME later = WriteTime(At(game, entries[2]));
    later.dwHighDateTime += 1;
    SetWriteTime(At(game, entries[2]), later);
    DeleteFileW(At(game, entries[3]).c_str());

    pt::RunResult r = pt::RunInProcess(game, url);
    ASSERT_TRUE(r.ready) << qt::Utf8(r.status.detail);
    EXPECT_EQ(Decisions(r), (std::map<std::string, std::string>{{entries[0].path, "digest differs"},
                                                                {entries[1].path, "size differs"},
                                                                {entries[2].path, "up to date"},
                                                                {entries[3].path, "missing"}}));
    for (const Entry& e : entries) EXPECT_EQ(qt::ReadBytes(At(game, e)), e.content) << e.path;
    // The records of the files written by the last run are of the files as the swap left them.
    EXPECT_EQ(Decisions(pt::RunInProcess(game, url)), All(entries, "reused"));
}

TEST(FastStart, EveryFileIsHashedOnRequestAfterNDaysAndWithoutTheMember) {
    StateScope scope(L"full");
    const std::vector<Entry> entries = Files(3);
    pt::Site site = pt::MakeSite("fast-full");
    const std::string url =
        pt::Publish(site, "1", entries, {}, {}, ",\n  \"check\": {\"reuse_verified\": true, \"full_check_days\": 3}");
    const std::wstring game = CurrentGame("full", entries);
    ASSERT_TRUE(pt::RunInProcess(game, url).ready);
    EXPECT_EQ(Decisions(pt::RunInProcess(game, url)), All(entries, "reused"));

    pt::TestConfig().fullCheck = true;
    EXPECT_EQ(Decisions(pt::RunInProcess(game, url)), All(entries, "up to date"));
    pt::TestConfig().fullCheck = false;

    const struct {
        int64_t ago;
        const char* why;
    } ages[] = {{3 * 86400 + 60, "up to date"}, {3 * 86400 - 60, "reused"}, {-2 * 86400, "up to date"}};
    for (const auto& age : ages) {
        FolderState s = Load(scope, game);
        const int64_t now = UtcNow();
        s.lastFullCheck = now - age.ago;
        ASSERT_TRUE(SaveFolderState(scope.PathFor(game), s));
        EXPECT_EQ(Decisions(pt::RunInProcess(game, url)), All(entries, age.why)) << age.ago;
        // Only a full check moves the time on.
        const int64_t after = Load(scope, game).lastFullCheck;
        if (std::string(age.why) == "reused") {
            EXPECT_EQ(after, now - age.ago);
        } else {
            EXPECT_GE(after, now);
        }
    }

    const std::string plain = pt::Publish(site, "1", entries);
    for (int run = 0; run < 2; ++run) EXPECT_EQ(Decisions(pt::RunInProcess(game, plain)), All(entries, "up to date"));
    EXPECT_TRUE(Load(scope, game).files.empty());
}

TEST(FastStart, ADamagedForeignOrOldStateIsIgnoredAndWrittenAgain) {
    StateScope scope(L"bad");
    const std::vector<Entry> entries = Files(2);
    pt::Site site = pt::MakeSite("fast-bad");
    const std::string url = pt::Publish(site, "1", entries, {}, {}, kReuse);
    const std::wstring game = CurrentGame("bad", entries);
    const std::wstring path = scope.PathFor(game);
    ASSERT_TRUE(pt::RunInProcess(game, url).ready);
    const std::string good = qt::ReadBytes(path);
    ASSERT_FALSE(good.empty());

    FolderState elsewhere = Load(scope, game);
    elsewhere.folder += "\\elsewhere";
    std::string oldVersion = good;
    oldVersion[8] = 0;  // version 0, its digest made right again
    const std::string sealed = oldVersion.substr(0, oldVersion.size() - 32);
    const std::string digestHex = qt::Sha256Hex(sealed);
    std::string digest;
    for (size_t i = 0; i < 64; i += 2) digest.push_back(static_cast<char>(std::stoi(digestHex.substr(i, 2), nullptr, 16)));
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 4;
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"damaged", flipped},
        {"cut", good.substr(0, good.size() - 1)},
        {"foreign", EncodeState(elsewhere)},
        {"old version", sealed + digest},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(qt::WriteBytes(path, c.bytes));
        pt::RunResult r = pt::RunInProcess(game, url);
        EXPECT_TRUE(r.ready) << c.name;
        EXPECT_EQ(Decisions(r), All(entries, "up to date")) << c.name;
        EXPECT_EQ(Decisions(pt::RunInProcess(game, url)), All(entries, "reused")) << c.name;
    }
}
