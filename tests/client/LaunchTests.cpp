// The graphics compatibility file and the launch flow, run in this process against stub programs.
#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"
#include "HooksScope.h"
#include "UiDriver.h"
#include "app/MainWindow.h"
#include "base/StatusBoard.h"
#include "client/GraphicsCompat.h"
#include "client/Launch.h"

namespace {

const wchar_t kKey[] = L"Software\\Morvane Soft\\Skelvard";
const wchar_t kCaption[] = L"Qirell QX Auto-Patcher";
const char kCompatBytes[] =
    "; written by QirellPatcher.exe: NVIDIA/AMD graphics found, DDrawCompat not needed\r\nEnableDDrawCompat = off\r\n";

std::vector<std::wstring> gAdapters;
std::vector<std::wstring> TestAdapters() { return gAdapters; }

// A game folder as the current directory, with the stub as client and setup tool, and a window that
// stands in for the main window (it records WM_CLOSE instead of closing).
struct Game {
    std::wstring dir;
    wchar_t previous[MAX_PATH] = {};
    HWND window = nullptr;
    static inline int closes = 0;

    static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
        if (m == WM_CLOSE) {
            ++closes;
            return 0;
        }
        return DefWindowProcW(h, m, w, l);
    }

    explicit Game(const std::wstring& name, bool withClient = true) {
        dir = qt::FreshDir(name);
        const std::wstring stub = qt::BinaryDir() + L"\\tools\\stub-client\\stub-client.exe";
        if (withClient) CopyFileW(stub.c_str(), (dir + L"\\QirellQX.exe").c_str(), FALSE);
        CopyFileW(stub.c_str(), (dir + L"\\Setup.exe").c_str(), FALSE);
        GetCurrentDirectoryW(MAX_PATH, previous);
        SetCurrentDirectoryW(dir.c_str());
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QirellLaunchTestOwner";
        RegisterClassW(&wc);
        window = CreateWindowW(wc.lpszClassName, L"owner", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                               wc.hInstance, nullptr);
        Board().mainWindow = window;
        closes = 0;
        SetEnvironmentVariableW(L"QIRELL_PATCHER_OK", nullptr);
        ClearKeys();
    }
    ~Game() {
        ClearKeys();
        Board().mainWindow = nullptr;
        DestroyWindow(window);
        SetCurrentDirectoryW(previous);
        SetEnvironmentVariableW(L"QIRELL_PATCHER_OK", nullptr);
    }
    static void ClearKeys() {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
        RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
    }
    // Waits (bounded) for a stub's record and returns it.
    std::string Record(const std::wstring& exe, DWORD ms = 10000) const {
        const std::wstring path = dir + L"\\" + exe + L".record.txt";
        for (DWORD waited = 0; waited < ms; waited += 50) {
            std::string r = qt::ReadBytes(path);
            if (!r.empty()) return r;
            Sleep(50);
        }
        return {};
    }
    int DeliveredCloses() {
        MSG msg;
        while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        return closes;
    }
};

void SetMachineValue(REGSAM view, const wchar_t* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

void SetUserValue(const wchar_t* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

bool UserValue(const wchar_t* name, DWORD& type, std::string& bytes) {
    BYTE buf[1024];
    DWORD size = sizeof buf;
    type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, buf, &size) != ERROR_SUCCESS)
        return false;
    bytes.assign(reinterpret_cast<char*>(buf), size);
    return true;
}

// Answers the boxes StartProgram shows, in order, from another thread; records their texts.
struct BoxAnswerer {
    std::vector<std::wstring> texts;
    std::thread thread;
    BoxAnswerer(std::vector<int> answers) {
        thread = std::thread([this, answers] {
            for (int a : answers) {
                HWND box = qt::WaitForMessageBox(kCaption, GetCurrentProcessId(), 10000);
                if (!box) return;
                texts.push_back(qt::MessageBoxText(box));
                qt::AnswerMessageBox(box, a);
            }
        });
    }
    ~BoxAnswerer() {
        if (thread.joinable()) thread.join();
    }
    void Join() { thread.join(); }
};

const std::wstring kNotConfiguredText =
    L"ยังไม่ได้ตั้งค่าจอสำหรับเครื่องนี้\n\nหน้าต่าง Setup จะเปิดขึ้นมา ให้เลือกการ์ดจอ/ความละเอียดแล้วกด OK\n"
    L"จากนั้นกด \"เริ่มเกม (Start Game)\" อีกครั้ง";

}  // namespace

TEST(GraphicsCompat, FollowsTheAdapterVendors) {
    Game g(L"compat");
    qt::HooksScope hooks;
    gHooks.adapterIds = TestAdapters;
    const std::wstring ini = g.dir + L"\\DDrawCompat-QirellQX.ini";
    qt::WriteBytes(g.dir + L"\\ddraw.dll", "dll");

    gAdapters = {L"PCI\\VEN_8086&DEV_1234", L"PCI\\VEN_10DE&DEV_2204&SUBSYS"};
    UpdateGraphicsCompatFile();
    EXPECT_EQ(qt::ReadBytes(ini), kCompatBytes);
    EXPECT_EQ(qt::SizeOf(ini), 108u);
    UpdateGraphicsCompatFile();
    EXPECT_EQ(qt::ReadBytes(ini), kCompatBytes);

    gAdapters = {L"PCI\\VEN_8086&DEV_1234"};
    UpdateGraphicsCompatFile();
    EXPECT_FALSE(qt::Exists(ini));
    UpdateGraphicsCompatFile();
    EXPECT_FALSE(qt::Exists(ini));

    gAdapters = {L"pci\\ven_1002&dev_73bf"};
    UpdateGraphicsCompatFile();
    EXPECT_TRUE(qt::Exists(ini));
    gAdapters = {L"", L"PCI\\VEN_1022"};
    UpdateGraphicsCompatFile();
    EXPECT_TRUE(qt::Exists(ini));
    gAdapters = {L""};
    UpdateGraphicsCompatFile();
    EXPECT_FALSE(qt::Exists(ini));

    // Without the compatibility layer the file is not ours to touch.
    DeleteFileW((g.dir + L"\\ddraw.dll").c_str());
    qt::WriteBytes(ini, "player's own");
    gAdapters = {L"PCI\\VEN_8086"};
    UpdateGraphicsCompatFile();
    EXPECT_EQ(qt::ReadBytes(ini), "player's own");
}

TEST(StartGame, CopiesTheDisplaySettingsAndStartsTheClientWithTheToken) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        Game g(L"launch-configured");
        SetMachineValue(view, L"WIDTH", REG_DWORD, std::string("\x40\x06\0\0", 4));
        SetMachineValue(view, L"DEVICENAME", REG_SZ, std::string("G\0P\0U\0\0\0", 8));
        SetUserValue(L"WIDTH", REG_DWORD, std::string("\x20\x03\0\0", 4));
        SetUserValue(L"HEIGHT", REG_DWORD, std::string("\x58\x02\0\0", 4));  // absent from the machine key
        StartProgram(L"QirellQX.exe");

        DWORD type = 0;
        std::string bytes;
        ASSERT_TRUE(UserValue(L"WIDTH", type, bytes));
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(bytes, std::string("\x40\x06\0\0", 4));
        ASSERT_TRUE(UserValue(L"DEVICENAME", type, bytes));
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(bytes, std::string("G\0P\0U\0\0\0", 8));
        ASSERT_TRUE(UserValue(L"HEIGHT", type, bytes));
        EXPECT_EQ(bytes, std::string("\x58\x02\0\0", 4));

        const std::string record = g.Record(L"QirellQX.exe");
        EXPECT_NE(record.find("cmdline=\"QirellQX.exe\" 4vqe4\n"), std::string::npos) << record;
        EXPECT_NE(record.find("cwd=" + qt::Utf8(g.dir) + "\n"), std::string::npos) << record;
        EXPECT_NE(record.find("QIRELL_PATCHER_OK=1\n"), std::string::npos) << record;
        EXPECT_EQ(g.DeliveredCloses(), 1);
        EXPECT_TRUE(qt::Exists(g.dir + L"\\savedata\\OptionInfo.lua"));
        EXPECT_TRUE(g.Record(L"Setup.exe", 300).empty());
    }
}

TEST(StartGame, UserKeyAloneCountsAsConfigured) {
    Game g(L"launch-userkey");
    SetUserValue(L"WIDTH", REG_DWORD, std::string("\x20\x03\0\0", 4));
    StartProgram(L"QirellQX.exe");
    EXPECT_NE(g.Record(L"QirellQX.exe").find("4vqe4"), std::string::npos);
    EXPECT_EQ(g.DeliveredCloses(), 1);
}

// The started client's process comes back to the caller, by either way of starting: it is the one that
// wrote the record by the time it has ended.
TEST(StartGame, HandsBackTheStartedProcess) {
    Game g(L"launch-handle");
    SetUserValue(L"WIDTH", REG_DWORD, std::string("\x20\x03\0\0", 4));
    UniqueHandle client;
    ASSERT_EQ(LaunchProgram(L"QirellQX.exe", [] { return true; }, &client), LaunchError::None);
    ASSERT_TRUE(client);
    EXPECT_EQ(WaitForSingleObject(client.get(), 20000), WAIT_OBJECT_0);
    EXPECT_FALSE(qt::ReadBytes(g.dir + L"\\QirellQX.exe.record.txt").empty());
    HANDLE shell = nullptr;
    ASSERT_TRUE(StartWithShell(L"Setup.exe", nullptr, g.dir, &shell));
    ASSERT_NE(shell, nullptr);
    EXPECT_EQ(WaitForSingleObject(shell, 20000), WAIT_OBJECT_0);
    CloseHandle(shell);
    EXPECT_FALSE(qt::ReadBytes(g.dir + L"\\Setup.exe.record.txt").empty());
}

TEST(StartGame, NotConfiguredShowsTheBoxThenStartsSetupOnly) {
    Game g(L"launch-unconfigured");
    BoxAnswerer boxes({IDOK});
    StartProgram(L"QirellQX.exe");
    boxes.Join();
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], kNotConfiguredText);
    const std::string setup = g.Record(L"Setup.exe");
    EXPECT_NE(setup.find("cmdline=\"Setup.exe\"\n"), std::string::npos) << setup;
    EXPECT_TRUE(g.Record(L"QirellQX.exe", 500).empty());
    EXPECT_EQ(g.DeliveredCloses(), 0);
}

TEST(StartGame, AMissingClientShowsTheCannotStartBox) {
    Game g(L"launch-missing", /*withClient=*/false);
    SetUserValue(L"WIDTH", REG_DWORD, std::string("\x20\x03\0\0", 4));
    BoxAnswerer boxes({IDOK});
    StartProgram(L"QirellQX.exe");
    boxes.Join();
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], L"ไม่สามารถเปิดไฟล์ QirellQX.exe ได้");
    EXPECT_EQ(g.DeliveredCloses(), 0);
}

TEST(StartGame, AFolderOutsideTheAnsiCodePageAsksFirstAfterTheFilesAreWritten) {
    if (GetACP() == 874) GTEST_SKIP() << "this prefix runs with the Thai code page";
    Game g(L"launch-\u0E44\u0E17\u0E22");
    SetUserValue(L"WIDTH", REG_DWORD, std::string("\x20\x03\0\0", 4));
    {
        BoxAnswerer boxes({IDCANCEL});
        StartProgram(L"QirellQX.exe");
        boxes.Join();
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0].rfind(L"โฟลเดอร์เกมมีตัวอักษรที่ Windows เครื่องนี้ใช้กับโปรแกรมเก่าไม่ได้", 0), 0u);
        EXPECT_NE(boxes.texts[0].find(L"C:\\Games\\QirellQX"), std::wstring::npos);
        EXPECT_TRUE(qt::Exists(g.dir + L"\\savedata\\OptionInfo.lua"));  // written before the question
        EXPECT_TRUE(g.Record(L"QirellQX.exe", 500).empty());
        EXPECT_EQ(g.DeliveredCloses(), 0);
    }
    BoxAnswerer boxes({IDOK});
    StartProgram(L"QirellQX.exe");
    boxes.Join();
    EXPECT_NE(g.Record(L"QirellQX.exe").find("4vqe4"), std::string::npos);
    EXPECT_EQ(g.DeliveredCloses(), 1);
}

// Registered as a CTest entry of its own that starts the binary under the Thai locale.
TEST(StartGame, AThaiFolderUnderTheThaiCodePageAsksNothing) {
    if (GetEnvironmentVariableW(L"QIRELL_THAI_CODEPAGE_RUN", nullptr, 0) == 0)
        GTEST_SKIP() << "runs as client_tests_thai_codepage, under the Thai locale";
    ASSERT_EQ(GetACP(), 874u) << "the th_TH.UTF-8 locale is missing (scripts/install-deps.sh makes it)";
    Game g(L"launch-thai-\u0E44\u0E17\u0E22");
    SetUserValue(L"WIDTH", REG_DWORD, std::string("\x20\x03\0\0", 4));
    BoxAnswerer boxes({IDCANCEL});
    StartProgram(L"QirellQX.exe");
    boxes.Join();
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_NE(g.Record(L"QirellQX.exe").find("4vqe4"), std::string::npos);
    EXPECT_EQ(g.DeliveredCloses(), 1);
}

TEST(Setup, StartsTheToolPlainlyAndTouchesNothingElse) {
    Game g(L"launch-setup");
    qt::WriteBytes(g.dir + L"\\ddraw.dll", "dll");
    StartProgram(L"Setup.exe");
    const std::string record = g.Record(L"Setup.exe");
    EXPECT_NE(record.find("cmdline=\"Setup.exe\"\n"), std::string::npos) << record;
    EXPECT_NE(record.find("QIRELL_PATCHER_OK=<unset>"), std::string::npos) << record;
    EXPECT_FALSE(qt::Exists(g.dir + L"\\savedata"));
    EXPECT_FALSE(qt::Exists(g.dir + L"\\DDrawCompat-QirellQX.ini"));
    EXPECT_EQ(g.DeliveredCloses(), 0);
}

namespace {

std::wstring gShellProgram, gShellFolder, gShellParams;
int gShellCalls = 0;
DWORD NeedsElevation(const std::wstring&, std::wstring&, const std::wstring&, HANDLE*) { return 740; }
DWORD FailsOtherwise(const std::wstring&, std::wstring&, const std::wstring&, HANDLE*) { return ERROR_ACCESS_DENIED; }
bool RecordShell(const std::wstring& program, const wchar_t* params, const std::wstring& folder, HANDLE*) {
    ++gShellCalls;
    gShellProgram = program;
    gShellParams = params ? params : L"<none>";
    gShellFolder = folder;
    return true;
}

}  // namespace

TEST(Elevation, OnlyElevationRequiredFallsBackToTheShellWithTheToken) {
    Game g(L"launch-elevation");
    SetUserValue(L"WIDTH", REG_DWORD, std::string("\x20\x03\0\0", 4));
    qt::HooksScope hooks;
    gHooks.startWithShell = RecordShell;
    gHooks.startProcess = NeedsElevation;
    gShellCalls = 0;
    StartProgram(L"QirellQX.exe");
    EXPECT_EQ(gShellCalls, 1);
    EXPECT_EQ(gShellProgram, L"QirellQX.exe");
    EXPECT_EQ(gShellParams, L"4vqe4");
    EXPECT_EQ(gShellFolder, g.dir);
    EXPECT_EQ(g.DeliveredCloses(), 1);

    StartProgram(L"Setup.exe");
    EXPECT_EQ(gShellCalls, 2);
    EXPECT_EQ(gShellParams, L"<none>");

    gHooks.startProcess = FailsOtherwise;
    {
        BoxAnswerer boxes({IDOK});
        StartProgram(L"Setup.exe");
        boxes.Join();
        EXPECT_EQ(gShellCalls, 2);
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], L"ไม่สามารถเปิดไฟล์ Setup.exe ได้");
    }
}
