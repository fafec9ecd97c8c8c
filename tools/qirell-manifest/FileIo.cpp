#include <cstdio>
#include <fstream>
#include <vector>

#include "Sha256.h"
#include "Tool.h"

bool ReadWholeFile(const fs::path& p, std::string& bytes) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteWholeFile(const fs::path& p, const std::string& bytes) {
    std::ofstream o(p, std::ios::binary | std::ios::trunc);
    o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    o.close();
    return static_cast<bool>(o);
}

bool MoveOver(const fs::path& temp, const fs::path& target, std::string& error) {
    std::error_code ec;
    const fs::file_status was = fs::status(target, ec);
    if (!ec && fs::exists(was)) fs::permissions(temp, was.permissions(), ec);
    fs::rename(temp, target, ec);
    if (!ec) return true;
    error = PathToUtf8(target) + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
}

bool ReplaceFile(const fs::path& target, const fs::path& temp, const std::string& bytes, std::string& error) {
    if (WriteWholeFile(temp, bytes)) return MoveOver(temp, target, error);
    error = PathToUtf8(temp) + ": cannot be written";
    std::error_code ec;
    fs::remove(temp, ec);
    return false;
}

bool ReadManifestFile(const fs::path& p, PatchManifest& manifest, std::string& error, std::string* textOut) {
    std::string text;
    if (!ReadWholeFile(p, text)) {
        error = PathToUtf8(p) + ": cannot be read";
        return false;
    }
    if (!ParseManifest(text, manifest)) {
        error = PathToUtf8(p) + ": not a valid manifest";
        return false;
    }
    if (textOut) *textOut = std::move(text);
    return true;
}

bool HashAndCopy(const fs::path& source, const fs::path& target, Progress& progress, uint64_t& size,
                 std::string& sha256, std::string& privateKey, std::string& error) {
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        error = PathToUtf8(source) + ": cannot be read";
        return false;
    }
    std::ofstream out;
    if (!target.empty()) {
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        out.open(target, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = PathToUtf8(target) + ": cannot be written";
            return false;
        }
    }
    ToolSha256 h;
    Sha256Begin(h);
    PrivateKeyScan keys;
    std::vector<char> buffer(1 << 20);
    size = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        Sha256Add(h, buffer.data(), static_cast<size_t>(got));
        ScanForPrivateKey(keys, buffer.data(), static_cast<size_t>(got));
        size += static_cast<uint64_t>(got);
        if (out.is_open() && !out.write(buffer.data(), got)) {
            error = PathToUtf8(target) + ": write failed";
            return false;
        }
        ProgressAdvance(progress, static_cast<uint64_t>(got), false);
    }
    if (in.bad()) {
        error = PathToUtf8(source) + ": read failed";
        return false;
    }
    if (out.is_open()) {
        out.close();
        if (!out) {
            error = PathToUtf8(target) + ": write failed";
            return false;
        }
    }
    sha256 = Sha256FinishHex(h);
    FinishPrivateKeyScan(keys);
    privateKey = keys.found;
    ProgressAdvance(progress, 0, true);
    return true;
}
