#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <vector>

#include "TestSupport.h"
#include "digest/FileHash.h"
#include "digest/Sha256.h"
#include "digest/Sha256Core.h"
#include "text/SizeText.h"

namespace {

std::string CoreHex(const std::string& bytes, size_t split) {
    Sha256State s;
    Sha256Init(s);
    Sha256Update(s, bytes.data(), split);
    Sha256Update(s, bytes.data() + split, bytes.size() - split);
    uint8_t d[32];
    Sha256Final(s, d);
    return HexLower(d, 32);
}

// Runs body once per engine the processor offers, restoring the automatic choice afterwards.
template <typename F>
void OnEveryEngine(F body) {
    const Sha256Engine automatic = Sha256ActiveEngine();
    const DigestBackend backend = ActiveDigestBackend();
    for (Sha256Engine e : {Sha256Engine::Portable, Sha256Engine::ShaExtensions}) {
        if (Sha256SelectEngine(e) != e) continue;
        // Files go through CNG while the core runs its portable code.
        SelectDigestBackend(e == Sha256Engine::Portable ? DigestBackend::Cng : DigestBackend::ShaExtensions);
        SCOPED_TRACE(e == Sha256Engine::Portable ? "portable code / CNG" : "SHA extensions");
        body();
    }
    Sha256SelectEngine(automatic);
    SelectDigestBackend(backend);
}

TEST(Sha256Core, NistVectors) {
    const std::string million(1000000, 'a');
    const struct {
        std::string in;
        const char* hex;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    OnEveryEngine([&] {
        for (const auto& v : vectors) {
            EXPECT_EQ(CoreHex(v.in, 0), v.hex);
            EXPECT_EQ(CoreHex(v.in, v.in.size() / 3), v.hex);
        }
    });
}

TEST(Sha256Core, AgreesWithCngOnEveryLength) {
    std::string data(4200, '\0');
    uint32_t x = 12345;
    for (auto& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 23);
    OnEveryEngine([&] {
        for (size_t n = 0; n <= data.size(); ++n) {
            const std::string part = data.substr(0, n);
            ASSERT_EQ(CoreHex(part, n / 2), qt::Sha256Hex(part)) << "length " << n;
        }
        std::string large(9 << 20, '\0');
        for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + (i >> 13));
        EXPECT_EQ(CoreHex(large, 65536 + 17), qt::Sha256Hex(large));
    });
}

TEST(HashFile, ContentsAndFailures) {
    const std::wstring dir = qt::FreshDir(L"transfer-hash");
    std::string body(300001, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i ^ (i >> 8));
    ASSERT_TRUE(qt::WriteBytes(dir + L"\\empty", ""));
    ASSERT_TRUE(qt::WriteBytes(dir + L"\\body", body));
    OnEveryEngine([&] {
        uint64_t size = 99;
        std::string hex = "before";
        EXPECT_TRUE(HashFileSha256(dir + L"\\empty", size, hex));
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_TRUE(HashFileSha256(dir + L"\\body", size, hex));
        EXPECT_EQ(size, body.size());
        EXPECT_EQ(hex, qt::Sha256Hex(body));
        size = 99;
        hex = "before";
        EXPECT_FALSE(HashFileSha256(dir + L"\\missing", size, hex));
        EXPECT_EQ(size, 99u);
        EXPECT_EQ(hex, "before");
    });
}

// Either side of the one-read limit and of the read-ahead's chunk boundaries, on one reused scratch.
TEST(HashFile, SizesAroundTheReadChunk) {
    const std::wstring dir = qt::FreshDir(L"transfer-hash-chunks");
    const size_t c = kHashChunk;
    OnEveryEngine([&] {
        FileHashScratch scratch;
        for (const size_t n : {size_t(0), size_t(1), c - 1, c, c + 1, 2 * c, 2 * c + 1, 5 * c + 3}) {
            std::string body(n, '\0');
            for (size_t i = 0; i < n; ++i) body[i] = static_cast<char>(i * 7 + (i >> 9));
            const std::wstring path = dir + L"\\f" + std::to_wstring(n);
            ASSERT_TRUE(qt::WriteBytes(path, body));
            uint64_t size = 0;
            std::string hex;
            EXPECT_TRUE(HashFileSha256(path, size, hex)) << n;
            EXPECT_EQ(size, n);
            EXPECT_EQ(hex, qt::Sha256Hex(body)) << n;
            uint8_t digest[32];
            const uint64_t other = n + 1;
            size = 0;
            EXPECT_EQ(DigestFile(scratch, path, &other, size, digest), FileDigest::SizeDiffers);
            EXPECT_EQ(size, n);
            const uint64_t want = n;
            ASSERT_EQ(DigestFile(scratch, path, &want, size, digest), FileDigest::Digested);
            EXPECT_EQ(HexLower(digest, 32), qt::Sha256Hex(body)) << n;
        }
        uint64_t size = 7;
        uint8_t digest[32];
        EXPECT_EQ(DigestFile(scratch, dir + L"\\missing", nullptr, size, digest), FileDigest::Unreadable);
        EXPECT_EQ(size, 7u);
    });
}

TEST(HashFile, WhileAnotherHandleWrites) {
    const std::wstring path = qt::FreshDir(L"transfer-hash-shared") + L"\\live";
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const std::string first(100000, 'a');
    DWORD n = 0;
    WriteFile(writer, first.data(), static_cast<DWORD>(first.size()), &n, nullptr);
    uint64_t size = 0;
    std::string hex;
    EXPECT_TRUE(HashFileSha256(path, size, hex));
    EXPECT_EQ(size, first.size());
    EXPECT_EQ(hex, qt::Sha256Hex(first));
    CloseHandle(writer);
}

TEST(HashFile, BeyondFourGiB) {
    const std::wstring path = qt::FreshDir(L"transfer-hash-big") + L"\\sparse";
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    DeviceIoControl(f, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    const uint64_t size = (uint64_t(4) << 30) + 12345;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size - 3);
    const bool placed = SetFilePointerEx(f, end, nullptr, FILE_BEGIN) && WriteFile(f, "end", 3, &ignored, nullptr);
    CloseHandle(f);
    if (!placed || qt::SizeOf(path) != size) {
        DeleteFileW(path.c_str());
        GTEST_SKIP() << "no room for a sparse file over 4 GiB here";
    }
    // The expectation, streamed through the portable code: zeros and the three last bytes.
    // Expectation on the fastest engine, the file through the other one where there are two.
    const bool fast = Sha256SelectEngine(Sha256Engine::ShaExtensions) == Sha256Engine::ShaExtensions;
    Sha256State s;
    Sha256Init(s);
    std::vector<char> zeros(1 << 20, 0);
    for (uint64_t left = size - 3; left;) {
        const size_t step = static_cast<size_t>(left < zeros.size() ? left : zeros.size());
        Sha256Update(s, zeros.data(), step);
        left -= step;
    }
    Sha256Update(s, "end", 3);
    uint8_t d[32];
    Sha256Final(s, d);
    if (fast) SelectDigestBackend(DigestBackend::Cng);
    uint64_t got = 0;
    std::string hex;
    EXPECT_TRUE(HashFileSha256(path, got, hex));
    SelectDigestBackend(fast ? DigestBackend::ShaExtensions : DigestBackend::Cng);
    DeleteFileW(path.c_str());
    EXPECT_EQ(got, size);
    EXPECT_EQ(hex, HexLower(d, 32));
}

TEST(Texts, HexLowerAndFormatSize) {
    const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(HexLower(bytes, 3), "00abff");
    EXPECT_EQ(HexLower(bytes, 0), "");
    const struct {
        uint64_t n;
        const wchar_t* text;
    } table[] = {
        {0, L"0 B"},
        {1023, L"1023 B"},
        {1024, L"1.0 KB"},
        {1280, L"1.2 KB"},
        {1536, L"1.5 KB"},
        {1792, L"1.8 KB"},
        {1048575, L"1024.0 KB"},
        {1048576, L"1.0 MB"},
        {1310720, L"1.2 MB"},
        {5ull << 30, L"5120.0 MB"},
        {1024 + 51, L"1.0 KB"},        // 1.0498...
        {1024 + 52, L"1.1 KB"},        // 1.0507...
        {(1ull << 20) * 3 / 2 + (1ull << 20) * 2, L"3.5 MB"},
    };
    for (const auto& row : table) EXPECT_EQ(FormatSize(row.n), row.text) << row.n;
}

}  // namespace
