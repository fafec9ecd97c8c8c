// The state file on disk: one per game folder, found again under another spelling of the folder's
// path, and never half written, whenever the writing process is killed.
#include <gtest/gtest.h>

#include <random>

#include "TestSupport.h"
#include "state/StateFile.h"

namespace {

const char kWriterVariable[] = "QIRELL_STATE_WRITER";

// Two states told apart by their full-check time; the second large enough that writing it takes a while.
FolderState Written(const FolderIdentity& id, bool large) {
    FolderState s;
    s.folder = id.fullPath;
    s.volumeSerial = id.volumeSerial;
    s.lastFullCheck = large ? 2 : 1;
    s.files.resize(large ? 200000 : 1);
    for (size_t i = 0; i < s.files.size(); ++i) s.files[i].path = "data/file" + std::to_string(i) + ".bin";
    return s;
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

}  // namespace

TEST(StateFile, OneFilePerFolderWhateverTheSpellingOfItsPath) {
    const std::wstring root = qt::FreshDir(L"statefile-names");
    const std::wstring a = root + L"\\Game A", b = root + L"\\Game B";
    qt::MakeDirs(a);
    qt::MakeDirs(b);
    FolderIdentity ia, ib, again;
    ASSERT_TRUE(IdentifyFolder(a, ia));
    ASSERT_TRUE(IdentifyFolder(b, ib));
    ASSERT_TRUE(IdentifyFolder(root + L"\\.\\GAME a\\", again));
    const std::wstring stateFolder = root + L"\\state";
    EXPECT_NE(StateFilePath(stateFolder, ia), StateFilePath(stateFolder, ib));
    EXPECT_EQ(StateFilePath(stateFolder, ia), StateFilePath(stateFolder, again));
    const std::wstring name = StateFilePath(stateFolder, ia).substr(stateFolder.size() + 1);
    EXPECT_EQ(name.size(), std::wstring(L"QirellPatcher-0123456789abcdef.state").size()) << qt::Utf8(name);

    // Saved into a state folder that does not exist yet, read back; another folder's reader refuses it.
    FolderState s = Written(ia, false), back;
    ASSERT_TRUE(SaveFolderState(StateFilePath(stateFolder, ia), s));
    ASSERT_EQ(LoadFolderState(StateFilePath(stateFolder, ia), ia, back), StateLoad::Loaded);
    EXPECT_EQ(back.lastFullCheck, 1);
    EXPECT_EQ(LoadFolderState(StateFilePath(stateFolder, ia), ib, back), StateLoad::OtherFolder);
    EXPECT_EQ(back.folder, ib.fullPath);
    EXPECT_TRUE(back.files.empty());
    EXPECT_EQ(LoadFolderState(StateFilePath(stateFolder, ib), ib, back), StateLoad::Missing);
}

// Run by the test below in a process of its own: writes the two states in turn until it is killed.
TEST(StateFileChild, WritesUntilKilled) {
    const std::string target = qt::Env(kWriterVariable);
    if (target.empty()) GTEST_SKIP() << "only as the writer of StateFile.AKillWhileWritingLeavesTheOldOrTheNew";
    const std::wstring path = qt::Wide(target);
    FolderIdentity id;
    ASSERT_TRUE(IdentifyFolder(path.substr(0, path.rfind(L'\\')), id));
    const FolderState states[] = {Written(id, false), Written(id, true)};
    for (unsigned i = 0;; ++i) SaveFolderState(path, states[i % 2]);
}

TEST(StateFile, AKillWhileWritingLeavesTheOldOrTheNew) {
    const std::wstring dir = qt::FreshDir(L"statefile-kill");
    const std::wstring path = dir + L"\\QirellPatcher-0000000000000000.state";
    FolderIdentity id;
    ASSERT_TRUE(IdentifyFolder(dir, id));
    SetEnvironmentVariableA(kWriterVariable, qt::Utf8(path).c_str());
    std::mt19937 gen(20261209);
    std::uniform_int_distribution<int> when(0, 60);
    int seen[3] = {};
    for (int round = 0; round < 24; ++round) {
        DeleteFileW(path.c_str());
        HANDLE h = qt::StartProcess(OwnPath(), L"--gtest_filter=StateFileChild.WritesUntilKilled", dir);
        ASSERT_NE(h, nullptr);
        // Killed at a random moment once the writer is under way.
        for (int i = 0; i < 1000 && !qt::Exists(path) && WaitForSingleObject(h, 10) == WAIT_TIMEOUT; ++i) {
        }
        const int delay = when(gen);
        if (WaitForSingleObject(h, delay) == WAIT_TIMEOUT) TerminateProcess(h, 77);
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
        FolderState s;
        const StateLoad load = LoadFolderState(path, id, s);
        ASSERT_TRUE(load == StateLoad::Loaded || load == StateLoad::Missing) << "round " << round << ", " << delay << " ms";
        if (load == StateLoad::Missing) {
            ++seen[0];
            continue;
        }
        ASSERT_TRUE(s.lastFullCheck == 1 || s.lastFullCheck == 2);
        EXPECT_EQ(s.files.size(), s.lastFullCheck == 2 ? 200000u : 1u);
        ++seen[s.lastFullCheck];
    }
    SetEnvironmentVariableA(kWriterVariable, nullptr);
    EXPECT_GT(seen[1] + seen[2], 0) << "no round left a state to read: the writer never got going";
}
