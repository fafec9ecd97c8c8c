// The self-update's key rule: a new patcher goes in only when its image carries the key that signed
// the manifest; otherwise the running patcher stays byte for byte and the side file goes.
#include <gtest/gtest.h>

#include "PatchTestSite.h"
#include "TestSupport.h"
#include "base/StatusBoard.h"
#include "patch/RunState.h"

namespace {

// Bytes around a stamp block as the build (state 0) or the tool (state 1) writes it.
std::string Image(uint16_t state, const std::vector<PublicKey>& keys, uint8_t version = 1, int blocks = 1) {
    std::string block(kStampBlockSize, '\0');
    for (size_t i = 0; i < kStampMagicSize; ++i) block[i] = static_cast<char>(StampMagicByte(i));
    block[kStampVersionAt] = static_cast<char>(version);
    block[kStampStateAt] = static_cast<char>(state);
    const std::string url = state ? "https://h/m.json" : "";
    block[kStampUrlLengthAt] = static_cast<char>(url.size());
    block.replace(kStampUrlAt, url.size(), url);
    block[kStampKeyCountAt] = static_cast<char>(keys.size());
    for (size_t k = 0; k < keys.size() && k < kMaxPublicKeys; ++k)
        block.replace(kStampKeysAt + 64 * k, 64, std::string(keys[k].begin(), keys[k].end()));
    std::string image = "MZ" + std::string(4000, 'c');
    for (int i = 0; i < blocks; ++i) image += block + std::string(300, 'd');
    return image;
}

}  // namespace

TEST(PatcherTrust, ANewPatcherGoesInOnlyWithTheSigningKey) {
    const PublicKey a{1, 2, 3}, b{9, 9, 9};
    const std::wstring headline = L"อัปเดตตัวแพตช์ไม่สำเร็จ";
    const std::wstring detail =
        L"ไฟล์ Updater.exe รุ่นใหม่ไม่มีคีย์ที่ใช้ยืนยันลายเซ็นของข้อมูลแพตช์นี้ จึงไม่ได้ติดตั้ง กรุณาแจ้งผู้ให้บริการเกม";
    const struct {
        const char* name;
        std::optional<PublicKey> signer;
        std::string target, image;
        bool swapped;
    } cases[] = {
        {"stamped with the key among others", a, "Updater.exe", Image(1, {b, a}), true},
        {"the build's keys", a, "UPDATER.EXE", Image(0, {a}), true},
        {"keyless", a, "Updater.exe", Image(0, {}), false},
        {"another key only", a, "Updater.exe", Image(1, {b}), false},
        {"no block", a, "Updater.exe", "MZ" + std::string(9000, 'c'), false},
        {"an empty file", a, "Updater.exe", "", false},
        {"a later layout", a, "Updater.exe", Image(1, {a}, 2), false},
        {"five keys", a, "Updater.exe", Image(1, {b, b, b, b, a}), false},
        {"two blocks", a, "Updater.exe", Image(1, {a}, 1, 2), false},
        {"a keyless patcher installs a keyless one", std::nullopt, "Updater.exe", Image(0, {}), true},
        {"a file in a subfolder is no self-update", a, "tools\\Updater.exe", "anything", true},
    };
    RunConfig config;
    config.exeName = L"Updater.exe";
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    int n = 0;
    for (const auto& c : cases) {
        const std::wstring game = qt::FreshDir(L"trust-" + std::to_wstring(n++));
        qt::MakeDirs(game + L"\\tools");
        const std::wstring target = qt::Wide(c.target);
        ASSERT_TRUE(qt::WriteBytes(game + L"\\" + target, "old self"));
        ASSERT_TRUE(qt::WriteBytes(game + L"\\" + target + L".patch.tmp", c.image));
        SetCurrentDirectoryW(game.c_str());
        RunState run;
        run.config = &config;
        run.reporter = &pt::BoardReporter();
        run.signer = c.signer;
        UpdateStatus(L"before", L"", 500);
        ManifestFile entry;
        entry.path = c.target;
        entry.url = "x";
        const FetchPlan plan = BuildPlan(PatchManifest{}, {entry}, L"http://h/", config.exeName);
        const bool swapped = SwapInVerified(run, plan.files[0]);
        SetCurrentDirectoryW(previous);
        EXPECT_EQ(swapped, c.swapped) << c.name;
        EXPECT_EQ(qt::ReadBytes(game + L"\\" + target), c.swapped ? c.image : "old self") << c.name;
        EXPECT_FALSE(qt::Exists(game + L"\\" + target + L".patch.tmp")) << c.name;
        const StatusSnapshot status = ReadStatus();
        if (c.swapped) continue;
        EXPECT_FALSE(qt::Exists(game + L"\\" + target + L".old")) << c.name;
        EXPECT_EQ(status.headline, headline) << c.name;
        EXPECT_EQ(status.detail, detail) << c.name;
        EXPECT_EQ(status.progress, 0) << c.name;
    }
}
