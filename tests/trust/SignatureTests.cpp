// The platform-free readers behind signed manifests: the signature file, the expiry member, the
// stamp block and the build option's key list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trust/StampBlock.h"
#include "trust/Expiry.h"
#include "manifest/Manifest.h"
#include "trust/SignatureFile.h"

namespace {

const std::string kKeyHex = "8aa6ddd821aedef1";
const std::string kRsHex =
    "454c261b733d49654aa1a689cc5bb84c281755b29f6823c8c5e261ae3d053817"
    "acf09010434e3161a891cb6af6cf089b1dd53848fb1879577f68f74a265bbd97";
const std::string kGood = "qirell-signature 1\nkey " + kKeyHex + "\necdsa-p256-sha256 " + kRsHex + "\n";

TEST(SignatureFile, ReadsTheThreeLinesAndWritesThemBackByteForByte) {
    ManifestSignature s;
    ASSERT_TRUE(ParseSignatureFile(kGood, s));
    EXPECT_EQ(s.keyId[0], 0x8a);
    EXPECT_EQ(s.keyId[7], 0xf1);
    EXPECT_EQ(s.rs[0], 0x45);
    EXPECT_EQ(s.rs[63], 0x97);
    EXPECT_EQ(SignatureFileText(s), kGood);

    std::string crlf = kGood;
    for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) crlf.insert(at, "\r");
    ManifestSignature fromCrlf;
    ASSERT_TRUE(ParseSignatureFile(crlf, fromCrlf)) << "line ends converted in transit";
    EXPECT_EQ(SignatureFileText(fromCrlf), kGood);
}

TEST(SignatureFile, RefusesEverythingElse) {
    auto replaced = [](const std::string& from, const std::string& to) {
        std::string s = kGood;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const std::string cases[] = {
        "",
        kGood.substr(0, kGood.size() - 1),                      // no final line end
        kGood.substr(0, 100),                                   // truncated
        kGood + "\n",                                           // a fourth line
        kGood + std::string(4000, 'a'),                         // oversized
        replaced("signature 1", "signature 2"),                 // another format version
        replaced("key ", "key  "),
        replaced(kKeyHex, kKeyHex.substr(1)),                   // short key id
        replaced(kKeyHex, "8AA6DDD821AEDEF1"),                  // upper case
        replaced(kRsHex, kRsHex + "00"),                        // long signature
        replaced(kRsHex.substr(0, 2), "4g"),                    // not hexadecimal
        replaced("ecdsa-p256-sha256", "ecdsa-p384-sha384"),
        replaced("\n", "\r\r\n"),
        std::string("qirell-signature 1\0\n", 21) + kGood.substr(19),
    };
    for (const std::string& text : cases) {
        ManifestSignature s;
        s.keyId[0] = 0x5a;
        EXPECT_FALSE(ParseSignatureFile(text, s)) << text;
        EXPECT_EQ(s.keyId[0], 0x5a) << "a refused file leaves the output alone";
    }
}

TEST(SignatureFile, KeyIdIsTheStartOfTheKeysDigestAndTheAddressKeepsTheQuery) {
    PublicKey zero{};
    // SHA-256 of 64 zero bytes begins f5a5fd42d16a2030.
    const KeyId id = KeyIdOf(zero);
    EXPECT_EQ(id, (KeyId{0xf5, 0xa5, 0xfd, 0x42, 0xd1, 0x6a, 0x20, 0x30}));
    EXPECT_EQ(SignatureFetchUrl(L"https://h/patch/manifest.json?t=12"), L"https://h/patch/manifest.json.sig?t=12");
    EXPECT_EQ(SignatureFetchUrl(L"https://h/m.json?ch=beta&t=12"), L"https://h/m.json.sig?ch=beta&t=12");
    EXPECT_EQ(SignatureFetchUrl(L"https://h/m.json"), L"https://h/m.json.sig");
}

TEST(Expiry, UtcTimesRoundTripAndImpossibleOnesAreRefused) {
    const struct { const char* text; int64_t seconds; } good[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2000-02-29T23:59:59Z", 951868799},
        {"2038-01-19T03:14:08Z", 2147483648},
        {"2026-12-09T12:00:00Z", 1796817600},
    };
    for (const auto& g : good) {
        int64_t t = -1;
        EXPECT_TRUE(ParseUtcTime(g.text, t)) << g.text;
        EXPECT_EQ(t, g.seconds) << g.text;
        EXPECT_EQ(FormatUtcTime(g.seconds), g.text);
    }
    for (const char* bad : {"2026-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2026-13-01T00:00:00Z",
                            "2026-04-31T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z",
                            "2026-01-01 00:00:00Z", "2026-01-01T00:00:00", "2026-01-01T00:00:00+00:00",
                            "26-01-01T00:00:00Z", "2026-1-01T00:00:00Z", "+026-01-01T00:00:00Z", ""}) {
        int64_t t = 0;
        EXPECT_FALSE(ParseUtcTime(bad, t)) << bad;
    }
}

TEST(Expiry, OnlyTheRootMemberCountsAndTheManifestReaderPassesItOver) {
    const struct { const char* text; ExpiryRead result; } cases[] = {
        {R"({"version": "1", "files": []})", ExpiryRead::Absent},
        {R"({"expires": "2030-01-01T00:00:00Z", "files": []})", ExpiryRead::Present},
        {R"({"files": [{"path": "a", "expires": "2030-01-01T00:00:00Z"}]})", ExpiryRead::Absent},
        {R"({"notes": {"expires": 5}, "version": "x"})", ExpiryRead::Absent},
        {R"({"expires": 1893456000})", ExpiryRead::Malformed},
        {R"({"expires": "tomorrow"})", ExpiryRead::Malformed},
        {R"({"expires": "2030-01-01T00:00:00Z", "expires": "2031-01-01T00:00:00Z"})", ExpiryRead::Malformed},
        {R"({"expires": "2030-01-01T00:00:00Z", )", ExpiryRead::Malformed},
        {"[]", ExpiryRead::Malformed},
    };
    for (const auto& c : cases) {
        int64_t t = 0;
        EXPECT_EQ(ReadManifestExpiry(c.text, t), c.result) << c.text;
    }
    PatchManifest m;
    ASSERT_TRUE(ParseManifest(R"({"expires": "2030-01-01T00:00:00Z", "version": "7",
        "files": [{"path": "a.txt", "sha256": "00"}]})", m));
    EXPECT_EQ(m.version, "7");
    EXPECT_EQ(m.files.size(), 1u);
}

// The block as the tool writes it: little-endian fields at fixed offsets.
std::vector<uint8_t> Block(uint16_t version, uint16_t state, const std::string& url, uint8_t keys) {
    std::vector<uint8_t> b(kStampBlockSize, 0);
    for (size_t i = 0; i < kStampMagicSize; ++i) b[i] = StampMagicByte(i);
    b[16] = static_cast<uint8_t>(version);
    b[18] = static_cast<uint8_t>(state);
    b[20] = static_cast<uint8_t>(url.size());
    b[21] = static_cast<uint8_t>(url.size() >> 8);
    b[22] = keys;
    std::copy(url.begin(), url.end(), b.begin() + 24);
    for (uint8_t k = 0; k < keys; ++k) b[2072 + 64 * k] = static_cast<uint8_t>(k + 1);
    return b;
}

TEST(StampBlock, ReadsTheLayoutAndRefusesInconsistentBlocks) {
    StampSettings s;
    ASSERT_TRUE(ReadStampBlock(Block(1, 0, "", 0).data(), kStampBlockSize, s));
    EXPECT_FALSE(s.stamped);
    ASSERT_TRUE(ReadStampBlock(Block(1, 1, "https://h/m.json", 2).data(), kStampBlockSize, s));
    EXPECT_TRUE(s.stamped);
    EXPECT_EQ(s.url, "https://h/m.json");
    ASSERT_EQ(s.keys.size(), 2u);
    EXPECT_EQ(s.keys[1][0], 2);
    // Never stamped, with the keys the build put there.
    ASSERT_TRUE(ReadStampBlock(Block(1, 0, "", 1).data(), kStampBlockSize, s));
    EXPECT_FALSE(s.stamped);
    EXPECT_EQ(s.keys.size(), 1u);

    std::vector<uint8_t> badMagic = Block(1, 1, "https://h/", 0);
    badMagic[3] ^= 1;
    std::vector<uint8_t> zeroInUrl = Block(1, 1, std::string("https://h/\0x", 12), 0);
    const std::vector<uint8_t> refused[] = {
        badMagic, zeroInUrl, Block(2, 1, "https://h/", 0), Block(1, 2, "https://h/", 0),
        Block(1, 1, "https://h/", 5), Block(1, 0, "https://h/", 0), Block(1, 0, "", 5),
        Block(1, 1, std::string(2049, 'a'), 0),
    };
    for (const std::vector<uint8_t>& b : refused) EXPECT_FALSE(ReadStampBlock(b.data(), b.size(), s));
    EXPECT_FALSE(ReadStampBlock(Block(1, 1, "https://h/", 0).data(), kStampBlockSize - 1, s));
}

TEST(StampBlock, FallbackAddressesInLayoutTwoAndOneAddressReadAlikeInBoth) {
    // Layout 2: the address count at byte 23, the addresses joined by one zero byte.
    auto two = [](const std::string& text, uint8_t count, uint16_t state = 1) {
        std::vector<uint8_t> b = Block(2, state, text, 1);
        b[23] = count;
        return b;
    };
    const std::string a = "https://a/m.json", b = "https://b/m.json", c = "http://c:8080/m.json";
    const struct {
        const char* name;
        std::vector<uint8_t> block;
        bool readable;
        std::vector<std::string> urls;
    } cases[] = {
        {"one address, layout 1", Block(1, 1, a, 1), true, {a}},
        {"one address, layout 2", two(a, 1), true, {a}},
        {"three addresses", two(a + '\0' + b + '\0' + c, 3), true, {a, b, c}},
        {"four addresses", two(a + '\0' + b + '\0' + c + '\0' + a, 4), true, {a, b, c, a}},
        {"never stamped", two("", 0, 0), true, {}},
        {"five addresses", two(a + '\0' + a + '\0' + a + '\0' + a + '\0' + a, 5), false, {}},
        {"count short", two(a + '\0' + b, 1), false, {}},
        {"count long", two(a, 2), false, {}},
        {"an empty address", two(a + '\0', 2), false, {}},
        {"stamped without an address", two("", 0), false, {}},
        {"layout 1 with two", Block(1, 1, a + '\0' + b, 1), false, {}},
    };
    for (const auto& t : cases) {
        StampSettings s;
        ASSERT_EQ(ReadStampBlock(t.block.data(), t.block.size(), s), t.readable) << t.name;
        if (!t.readable) continue;
        std::vector<std::string> urls;
        if (s.stamped) urls.push_back(s.url);
        urls.insert(urls.end(), s.fallbackUrls.begin(), s.fallbackUrls.end());
        EXPECT_EQ(urls, t.urls) << t.name;
        EXPECT_EQ(s.keys.size(), 1u) << t.name;
    }
}

TEST(StampBlock, AnImagesKeysComeFromItsOneReadableBlock) {
    const std::vector<uint8_t> block = Block(1, 0, "", 2);
    auto image = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out(300, 'x');
        for (const std::vector<uint8_t>& part : parts) {
            out.insert(out.end(), part.begin(), part.end());
            out.insert(out.end(), 50, 'y');
        }
        return out;
    };
    std::vector<uint8_t> cut = image({block});
    cut.resize(300 + kStampBlockSize - 1);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        bool readable;
    } cases[] = {
        {"one block", image({block}), true},
        {"no block", image({}), false},
        {"two blocks", image({block, Block(1, 1, "https://h/", 0)}), false},
        {"a later layout", image({Block(3, 0, "", 2)}), false},
        {"five keys", image({Block(1, 0, "", 5)}), false},
        {"cut inside the block", cut, false},
    };
    for (const auto& c : cases) {
        std::vector<PublicKey> keys;
        EXPECT_EQ(ReadImageKeys(c.bytes.data(), c.bytes.size(), keys), c.readable) << c.name;
        if (c.readable) EXPECT_EQ(keys.size(), 2u) << c.name;
    }
    EXPECT_EQ(FindStampMagic(cut.data(), cut.size()).first, 300u);
}

TEST(StampBlock, BuildOptionKeyList) {
    const std::string a(128, 'a'), b = std::string(126, '0') + "Ff";
    std::vector<PublicKey> keys;
    EXPECT_TRUE(ParsePublicKeyList("", keys));
    EXPECT_TRUE(keys.empty());
    ASSERT_TRUE(ParsePublicKeyList(a + "," + b + ";" + a, keys));
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0][0], 0xaa);
    EXPECT_EQ(keys[1][63], 0xff);
    EXPECT_EQ(PublicKeyHex(keys[1]), std::string(126, '0') + "ff");
    for (const std::string& bad : {a + ",", a.substr(1), a + "0", "g" + a.substr(1), a + "," + a + "," + a + "," + a + "," + a})
        EXPECT_FALSE(ParsePublicKeyList(bad, keys)) << bad.size();
}

}  // namespace
