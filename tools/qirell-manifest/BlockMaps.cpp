// Block maps for delta updates: OUT_DIR/maps/<path>.qbm for every published file of at least the
// threshold's size, read back from the published copy so the map describes exactly what is served.
#include <cstdio>
#include <fstream>

#include "Sha256.h"
#include "Tool.h"
#include "delta/BlockMap.h"

namespace {

bool BuildMap(const fs::path& published, const ReleaseFile& f, std::string& bytes, std::string& error) {
    std::ifstream in(published, std::ios::binary);
    if (!in) {
        error = PathToUtf8(published) + ": cannot be read";
        return false;
    }
    BlockMapBuilder b;
    BlockMapBegin(b, f.size);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        BlockMapAdd(b, buffer.data(), static_cast<size_t>(got));
    }
    const bool sized = !in.bad() && BlockMapFinish(b);
    if (!sized || HexLower(b.map.fileSha256, sizeof b.map.fileSha256) != f.sha256) {
        error = PathToUtf8(published) + ": changed while it was being published";
        return false;
    }
    bytes = BlockMapBytes(b.map);
    return true;
}

}  // namespace

bool ParseByteCount(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool WriteBlockMaps(const fs::path& outDir, uint64_t minSize, std::vector<ReleaseFile>& files, std::string& error) {
    const fs::path mapsDir = outDir / "maps";
    std::error_code ec;
    fs::remove_all(mapsDir, ec);
    if (ec) {
        error = PathToUtf8(mapsDir) + ": cannot be cleared: " + ec.message();
        return false;
    }
    for (ReleaseFile& f : files) {
        if (f.size < minSize || f.size == 0 || !BlockMapFits(f.size)) continue;
        std::string bytes;
        if (!BuildMap(outDir / "files" / Utf8ToPath(f.path), f, bytes, error)) return false;
        const fs::path target = mapsDir / Utf8ToPath(f.path + ".qbm");
        fs::create_directories(target.parent_path(), ec);
        std::ofstream o(target, std::ios::binary | std::ios::trunc);
        o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        o.close();
        if (!o) {
            error = PathToUtf8(target) + ": cannot be written";
            return false;
        }
        f.map = BlockMapRef{"maps/" + EscapePath(f.path + ".qbm"), bytes.size(), Sha256Hex(bytes)};
    }
    return true;
}
