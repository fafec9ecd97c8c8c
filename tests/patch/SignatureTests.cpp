// The manifest stage of a patcher that carries public keys: what it shows for each kind of
// signature, and that nothing is touched before the signature holds. Fixtures were signed once
// with `qirell-manifest sign` by a key made for these tests.
#include <gtest/gtest.h>

#include "PatchTestSite.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "trust/StampBlock.h"

namespace {

const char kKey[] =
    "8f61595c84e003d47e36ac2491645fe668c3feddcd2adf79ef52831f2389407a"
    "1b3317f1da17ca477d383e7495ce44295034bef8a42fcb07159d20f49427fcfa";
const char kFiles[] =
    R"("version": "signed", "files": [{"path": "a.bin", "size": 3, "sha256": )"
    R"("11507a0e2f5e69d5dfa40a62a1bd7b6ee57e6bcd85c67c9b8431b36fff21c437"}]})";
const std::string kValid = std::string("{") + kFiles + "\n";
const std::string kExpired = std::string(R"({"expires": "2020-01-01T00:00:00Z", )") + kFiles + "\n";
const std::string kBadExpiry = std::string(R"({"expires": "2030-13-01T00:00:00Z", )") + kFiles + "\n";
std::string Signature(const char* rs) {
    return std::string("qirell-signature 1\nkey 0313494a45b8b156\necdsa-p256-sha256 ") + rs + "\n";
}
const std::string kValidSig = Signature(
    "a688c81b4f1e36a6f4fd494ef4294f4bd3969db4a6340474ed31d64bee4f9b08"
    "ceb0df17eb7118db81ec861d6d300b8371c1ded80523af612502a99c31a5940f");
const std::string kExpiredSig = Signature(
    "c1b6951b58c66deced1246c3694c501a719e0720d416ddf30bbd62c94ee82638"
    "811cf4f915e66d26bb9e3e7e47b8e8da553f8e8c7c1c22698b8926f9a0e537b4");
const std::string kBadExpirySig = Signature(
    "bda27ab9c926123ebaf9c5d1144ebb1523c041f610dca48598ade04baa76ef28"
    "ce00be9120554b444907c3f666d4797a08d2c6dd618d0739b05512eb8a6c9396");

const wchar_t kUnusable[] = L"ข้อมูลแพตช์ไม่ถูกต้อง";
const wchar_t kBadSignature[] =
    L"ลายเซ็นของไฟล์ manifest.json ไม่ถูกต้อง ไม่สามารถยืนยันได้ว่าข้อมูลแพตช์มาจากผู้ให้บริการเกม";

struct KeysScope {
    std::vector<PublicKey> saved = pt::TestConfig().publicKeys;
    explicit KeysScope(const char* hex) { EXPECT_TRUE(ParsePublicKeyList(hex, pt::TestConfig().publicKeys)); }
    ~KeysScope() { pt::TestConfig().publicKeys = saved; }
};

}  // namespace

TEST(SignedManifest, EachSignatureFaultHasItsStatusAndTouchesNothing) {
    KeysScope keys(kKey);
    std::string changed = kValid;
    changed[changed.find("signed")] = 'S';
    const struct Case {
        const char* name;
        std::string manifest, signature;
        bool publishSignature;
        const wchar_t* headline;
        std::wstring detail;
        std::string fault = "";  // served through the fault server with this fault (both files)
    } cases[] = {
        {"changed", changed, kValidSig, true, kUnusable, kBadSignature},
        {"swapped", kValid, kExpiredSig, true, kUnusable, kBadSignature},
        {"missing", kValid, "", false, kUnusable,
         L"ดึงลายเซ็นของไฟล์ manifest.json จากเซิร์ฟเวอร์ไม่สำเร็จ (เซิร์ฟเวอร์ตอบกลับ HTTP 404)"},
        {"oversized", kValid, kValidSig + std::string(1 << 20, '\n'), true, kUnusable,
         L"ดึงลายเซ็นของไฟล์ manifest.json จากเซิร์ฟเวอร์ไม่สำเร็จ (ข้อมูลจากเซิร์ฟเวอร์มีขนาดใหญ่เกินกำหนด)"},
        {"empty", kValid, "", true, kUnusable, kBadSignature},
        {"badexpiry", kBadExpiry, kBadExpirySig, true, kUnusable, L"ไม่สามารถอ่านไฟล์ manifest.json จากเซิร์ฟเวอร์ได้"},
        {"expired", kExpired, kExpiredSig, true, L"ข้อมูลแพตช์หมดอายุ",
         L"ข้อมูลแพตช์บนเซิร์ฟเวอร์หมดอายุแล้ว เซิร์ฟเวอร์อาจกำลังปรับปรุง กรุณาลองใหม่อีกครั้งภายหลัง"},
        // A dropped connection is said to be one, not a bad signature. The manifest (141 bytes) is
        // whole below the cut, the signature (187 bytes) is not.
        {"cutsig", kValid, kValidSig, true, kUnusable,
         L"ดึงลายเซ็นของไฟล์ manifest.json จากเซิร์ฟเวอร์ไม่สำเร็จ (เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่สำเร็จ (ตรวจสอบอินเทอร์เน็ต))",
         "cut/160"},
        {"cutmanifest", kValid, kValidSig, true, L"เกิดข้อผิดพลาดในการเชื่อมต่อ",
         L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่สำเร็จ (ตรวจสอบอินเทอร์เน็ต)", "cut/100"},
    };
    for (const Case& c : cases) {
        pt::Site site = pt::MakeSite(std::string("signed-") + c.name);
        qt::WriteBytes(site.root + L"\\manifest.json", c.manifest);
        if (c.publishSignature) qt::WriteBytes(site.root + L"\\manifest.json.sig", c.signature);
        qt::MakeDirs(site.root + L"\\files");
        qt::WriteBytes(site.root + L"\\files\\a.bin", "new");
        std::wstring game = qt::FreshDir(L"signed-" + qt::Wide(c.name));
        qt::WriteBytes(game + L"\\a.bin", "old");
        const std::string url = c.fault.empty() ? site.httpsBase + "manifest.json"
                                                : qt::FaultUrl(c.fault, site.name + "/manifest.json");
        const pt::RunResult r = pt::RunInProcess(game, url);
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_FALSE(r.ready) << c.name;
        EXPECT_EQ(r.status.headline, c.headline) << c.name;
        EXPECT_EQ(r.status.detail, c.detail) << c.name;
        EXPECT_EQ(r.status.progress, 0) << c.name;
        EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "old") << c.name;
    }
}

TEST(SignedManifest, AValidSignatureIsFetchedWithTheManifestsQueryAndTheRunGoesOn) {
    KeysScope keys(kKey);
    pt::Site site = pt::MakeSite("signed-valid");
    qt::WriteBytes(site.root + L"\\manifest.json", kValid);
    qt::WriteBytes(site.root + L"\\manifest.json.sig", kValidSig);
    qt::MakeDirs(site.root + L"\\files");
    qt::WriteBytes(site.root + L"\\files\\a.bin", "new");
    std::wstring game = qt::FreshDir(L"signed-valid");
    qt::WriteBytes(game + L"\\a.bin", "old");
    const qt::LogMark mark = qt::MarkLogs();
    const pt::RunResult r = pt::RunInProcess(game, site.httpsBase + "manifest.json?ch=beta");
    EXPECT_EQ(r.exitCode, 0) << qt::Utf8(r.status.headline) << " / " << qt::Utf8(r.status.detail);
    EXPECT_TRUE(r.ready);
    EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "new");
    const std::vector<std::string> targets = pt::TargetsSince(mark, 3);
    ASSERT_GE(targets.size(), 2u);
    const std::string manifest = targets[0], signature = targets[1];
    const std::string query = manifest.substr(manifest.find('?'));
    EXPECT_EQ(manifest, "/signed-valid/manifest.json" + query);
    EXPECT_EQ(signature, "/signed-valid/manifest.json.sig" + query);
    EXPECT_EQ(query.rfind("?ch=beta&t=", 0), 0u) << query;
}

TEST(ManifestFallback, ADownAndATamperedAddressGiveWayToTheThird) {
    KeysScope keys(kKey);
    std::string tampered = kValid;
    tampered[tampered.find("signed")] = 'S';
    const std::string down = pt::RefusingBase("fallback-down") + "manifest.json";
    const struct {
        const char* name;
        std::string manifest;
    } served[] = {{"fallback-tampered", tampered}, {"fallback-good", kValid}};
    std::vector<std::wstring> fallbacks;
    for (const auto& s : served) {
        pt::Site site = pt::MakeSite(s.name);
        qt::WriteBytes(site.root + L"\\manifest.json", s.manifest);
        qt::WriteBytes(site.root + L"\\manifest.json.sig", kValidSig);
        qt::MakeDirs(site.root + L"\\files");
        qt::WriteBytes(site.root + L"\\files\\a.bin", "new");
        fallbacks.push_back(qt::Wide(site.httpsBase + "manifest.json"));
    }
    pt::TestConfig().fallbackUrls = fallbacks;
    std::wstring game = qt::FreshDir(L"fallback");
    qt::WriteBytes(game + L"\\a.bin", "old");
    const qt::LogMark mark = qt::MarkLogs();
    const pt::RunResult r = pt::RunInProcess(game, down);
    pt::TestConfig().fallbackUrls.clear();
    std::string log;
    for (const std::string& line : r.log) log += line + "\n";
    EXPECT_EQ(r.exitCode, 0) << qt::Utf8(r.status.detail) << "\n" << log;
    EXPECT_EQ(qt::ReadBytes(game + L"\\a.bin"), "new");
    EXPECT_NE(log.find("manifest base 1 " + down + ": "), std::string::npos) << log;
    EXPECT_NE(log.find("manifest base 2 " + qt::Utf8(fallbacks[0]) + ": signature not valid, next address"),
              std::string::npos) << log;
    const std::vector<std::string> seen = pt::TargetsSince(mark, 5);
    EXPECT_EQ(pt::CountStartingWith(seen, "/fallback-good/manifest.json?t="), 1u) << pt::Joined(seen);
    EXPECT_EQ(pt::CountStartingWith(seen, "/fallback-good/manifest.json.sig?t="), 1u) << pt::Joined(seen);
    EXPECT_EQ(pt::CountStartingWith(seen, "/fallback-good/files/a.bin"), 1u) << pt::Joined(seen);
    EXPECT_EQ(pt::CountStartingWith(seen, "/fallback-tampered/files/"), 0u) << pt::Joined(seen);

    // Every address failing ends with the last one's words.
    pt::TestConfig().fallbackUrls = {fallbacks[0]};
    const pt::RunResult failed = pt::RunInProcess(game, down);
    pt::TestConfig().fallbackUrls.clear();
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.status.detail, kBadSignature);
}
