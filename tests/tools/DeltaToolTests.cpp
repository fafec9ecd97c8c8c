// The tool's block maps: written on request beside the files, described in each large file's entry,
// and readable by the patcher's own map reader and manifest parser.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sys/wait.h>

#include "Sha256.h"
#include "Tool.h"
#include "delta/BlockMap.h"

namespace {

fs::path FreshFolder(const std::string& name) {
    const fs::path p = fs::temp_directory_path() / ("qirell-delta-" + name + "-" + std::to_string(std::random_device{}()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

void Put(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string Slurp(const fs::path& p) {
    std::string s;
    ReadWholeFile(p, s);
    return s;
}

int Tool(const std::string& args) {
    const std::string cmd = std::string("'") + QIRELL_TOOL_PATH + "' " + args + " >/dev/null 2>&1";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HexSha256(const std::string& bytes) {
    ToolSha256 h;
    Sha256Begin(h);
    Sha256Add(h, bytes.data(), bytes.size());
    return Sha256FinishHex(h);
}

std::string Random(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

TEST(ToolDelta, MapAndFileAddressesOfAnOddNameAgree) {
    const fs::path release = FreshFolder("odd-release"), out = FreshFolder("odd-out");
    const std::string name = "odd (1)@!$+.bin";
    Put(release / name, Random(6000, 4));
    ASSERT_EQ(Tool("build '" + release.string() + "' --version 1 -o '" + out.string() + "' --delta --delta-min-size 5000"), 0);
    PatchManifest m;
    std::string error;
    ASSERT_TRUE(ReadManifestFile(out / "manifest.json", m, error)) << error;
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].url, "files/odd%20(1)@!$%2B.bin");
    EXPECT_EQ(m.files[0].map.url, "maps/odd%20(1)@!$%2B.bin.qbm");
}

TEST(ToolDelta, MapsForFilesFromTheThresholdUpDescribedInTheirEntries) {
    const fs::path release = FreshFolder("release"), out = FreshFolder("out");
    const std::string big = Random(70000, 1), edge = Random(5000, 2), small = Random(4999, 3);
    Put(release / "data.qpa", big);
    Put(release / "sub dir/ed ge#1.bin", edge);
    Put(release / "small.bin", small);
    const std::string args = "build '" + release.string() + "' --version 1 -o '" + out.string() + "'";
    ASSERT_EQ(Tool(args + " --delta --delta-min-size 5000"), 0);

    PatchManifest m;
    std::string error;
    ASSERT_TRUE(ReadManifestFile(out / "manifest.json", m, error)) << error;
    ASSERT_EQ(m.files.size(), 3u);
    const struct {
        const char* path;
        const std::string* content;
        const char* mapUrl;
    } rows[] = {{"data.qpa", &big, "maps/data.qpa.qbm"},
                {"small.bin", &small, ""},
                {"sub dir/ed ge#1.bin", &edge, "maps/sub%20dir/ed%20ge%231.bin.qbm"}};
    for (size_t i = 0; i < 3; ++i) {
        const ManifestFile& f = m.files[i];
        ASSERT_EQ(f.path, rows[i].path);
        EXPECT_EQ(f.map.url, rows[i].mapUrl);
        if (f.map.url.empty()) continue;
        const std::string bytes = Slurp(out / "maps" / (f.path + ".qbm"));
        EXPECT_EQ(f.map.size, bytes.size());
        EXPECT_EQ(f.map.sha256, HexSha256(bytes));
        BlockMap map;
        ASSERT_TRUE(ReadBlockMap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), map, error)) << error;
        EXPECT_EQ(map.fileSize, rows[i].content->size());
        EXPECT_EQ(map.blockSize, BlockSizeFor(map.fileSize));
        std::string digest;
        for (uint8_t c : map.fileSha256) digest += "0123456789abcdef"[c >> 4], digest += "0123456789abcdef"[c & 15];
        EXPECT_EQ(digest, f.sha256);
    }
    EXPECT_FALSE(fs::exists(out / "maps/small.bin.qbm"));

    // Default threshold 1 MiB: none of these; without --delta the member and the old maps are gone.
    ASSERT_EQ(Tool(args + " --delta"), 0);
    EXPECT_EQ(Slurp(out / "manifest.json").find("\"delta\""), std::string::npos);
    ASSERT_EQ(Tool(args + " --delta --delta-min-size 1"), 0);
    EXPECT_TRUE(fs::exists(out / "maps/small.bin.qbm"));
    ASSERT_EQ(Tool(args), 0);
    EXPECT_EQ(Slurp(out / "manifest.json").find("\"delta\""), std::string::npos);
    EXPECT_FALSE(fs::exists(out / "maps"));

    for (const char* bad : {" --delta-min-size 5000", " --delta --delta-min-size", " --delta --delta-min-size 1e6",
                            " --delta --delta-min-size -5", " --delta --delta-min-size 99999999999999999999"})
        EXPECT_EQ(Tool(args + bad), 2) << bad;
    fs::remove_all(release);
    fs::remove_all(out);
}

TEST(ToolDelta, VerifyFindsEveryMapThePatcherWouldThrowAway) {
    const fs::path release = FreshFolder("vrelease"), out = FreshFolder("vout");
    Put(release / "a.bin", Random(9000, 4));
    Put(release / "b.bin", Random(9000, 5));
    ASSERT_EQ(Tool("build '" + release.string() + "' --version 1 --delta --delta-min-size 1 -o '" + out.string() + "'"), 0);
    ASSERT_EQ(Tool("verify '" + out.string() + "'"), 0);
    const fs::path a = out / "maps/a.bin.qbm", b = out / "maps/b.bin.qbm";
    const std::string mapA = Slurp(a), mapB = Slurp(b), manifest = Slurp(out / "manifest.json");
    const struct {
        const char* name;
        std::function<void()> damage;
    } cases[] = {
        {"missing", [&] { fs::remove(a); }},
        {"one byte changed", [&] { std::string m = mapA; m[70] ^= 1; Put(a, m); }},
        {"another file's map", [&] { Put(a, mapB); }},
        {"another file's map, listed as this one's", [&] {
             std::string m = manifest;
             const size_t at = m.find(HexSha256(mapA));
             ASSERT_NE(at, std::string::npos);
             m.replace(at, 64, HexSha256(mapB));
             Put(out / "manifest.json", m);
             Put(a, mapB);
         }},
    };
    for (const auto& c : cases) {
        c.damage();
        std::vector<std::string> problems;
        VerifyPublished(out, "", problems);
        ASSERT_EQ(problems.size(), 1u) << c.name;
        EXPECT_NE(problems[0].find("a.bin: block map"), std::string::npos) << c.name << ": " << problems[0];
        Put(a, mapA);
        Put(out / "manifest.json", manifest);
    }
    fs::remove_all(release);
    fs::remove_all(out);
}

}  // namespace
