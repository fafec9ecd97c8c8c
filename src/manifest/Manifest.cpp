#include "manifest/Manifest.h"

#include "manifest/Json.h"
#include "text/Text.h"

namespace {

// "delta": {"url": ..., "size": ..., "sha256": ...}; any other kind of value is passed over.
bool ReadMapMember(JsonCursor& c, ManifestFile& entry) {
    if (!Consume(c, '{')) return SkipValue(c);
    std::string url, sha256;
    uint64_t size = 0;
    bool haveSize = false;
    const bool read = ReadMembers(c, [&](const std::string& name) {
        if (name == "url") return ReadString(c, url);
        if (name == "size") return haveSize = ReadUnsigned64(c, size);
        if (name == "sha256") return ReadString(c, sha256);
        return SkipValue(c);
    });
    if (!read) return false;
    if (url.empty() || sha256.empty() || !haveSize) return true;
    entry.map = BlockMapRef{url, size, AsciiLower(sha256)};
    return true;
}

bool ReadFileMember(JsonCursor& c, const std::string& name, ManifestFile& entry) {
    if (name == "path") return ReadString(c, entry.path);
    if (name == "url") return ReadString(c, entry.url);
    if (name == "size") return ReadUnsigned64(c, entry.size);
    if (name == "sha256") {
        if (!ReadString(c, entry.sha256)) return false;
        entry.sha256 = AsciiLower(entry.sha256);
        return true;
    }
    if (name == "delta") return ReadMapMember(c, entry);
    return SkipValue(c);
}

bool ReadFileEntry(JsonCursor& c, std::vector<ManifestFile>& files) {
    if (!Consume(c, '{')) return false;
    ManifestFile entry;
    if (!ReadMembers(c, [&](const std::string& name) { return ReadFileMember(c, name, entry); })) return false;
    // Without a path or a digest there is nothing to check the file against.
    if (entry.path.empty() || entry.sha256.empty()) return true;
    if (entry.url.empty()) entry.url = "files/" + entry.path;
    files.push_back(std::move(entry));
    return true;
}

bool ReadFileList(JsonCursor& c, std::vector<ManifestFile>& files) {
    if (!Consume(c, '[')) return false;
    if (Consume(c, ']')) return true;
    for (;;) {
        if (!ReadFileEntry(c, files)) return false;
        if (!Consume(c, ',')) return Consume(c, ']');
    }
}

// A scalar as its raw text; anything else (string, object, array) is passed over and gives "".
bool ReadScalarText(JsonCursor& c, std::string& text) {
    SkipWhitespace(c);
    const uint32_t start = c.pos;
    const bool scalar = start < c.text.size() && c.text[start] != '"' && c.text[start] != '{' && c.text[start] != '[';
    if (!SkipValue(c)) return false;
    text = scalar ? c.text.substr(start, c.pos - start) : std::string();
    return true;
}

// An options object ("download", "check"): apply gets each member's name and its scalar text ("" for a
// string, object or array). Any other kind of value for the whole member is passed over.
template <class Apply>
bool ReadOptionMembers(JsonCursor& c, Apply apply) {
    SkipWhitespace(c);
    if (c.pos >= c.text.size() || c.text[c.pos] != '{') return SkipValue(c);
    Consume(c, '{');
    return ReadMembers(c, [&](const std::string& name) {
        std::string text;
        if (!ReadScalarText(c, text)) return false;
        apply(name, text);
        return true;
    });
}

// Values of another type or out of range leave the setting as it was: the run then behaves as without them.
void SetFlag(const std::string& text, bool& flag) {
    if (text == "true") flag = true;
    if (text == "false") flag = false;
}

void SetNumber(const std::string& text, unsigned least, unsigned most, unsigned& number) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return;
    const unsigned n = static_cast<unsigned>(std::stoul(text));
    if (n >= least && n <= most) number = n;
}

bool ReadDownloadOptions(JsonCursor& c, PatchManifest& manifest) {
    return ReadOptionMembers(c, [&](const std::string& name, const std::string& text) {
        if (name == "resume") SetFlag(text, manifest.resume);
        if (name == "connections") SetNumber(text, 1, kMaxConnections, manifest.connections);
    });
}

bool ReadCheckOptions(JsonCursor& c, PatchManifest& manifest) {
    return ReadOptionMembers(c, [&](const std::string& name, const std::string& text) {
        if (name == "reuse_verified") SetFlag(text, manifest.reuseVerified);
        if (name == "full_check_days") SetNumber(text, 1, kMaxFullCheckDays, manifest.fullCheckDays);
    });
}

// "mirrors": an array of up to kMaxMirrors http(s) addresses; other items, and items past the
// limit, are passed over. A value that is not an array is passed over whole.
bool ReadMirrors(JsonCursor& c, std::vector<std::string>& mirrors) {
    SkipWhitespace(c);
    if (c.pos >= c.text.size() || c.text[c.pos] != '[') return SkipValue(c);
    Consume(c, '[');
    if (Consume(c, ']')) return true;
    for (;;) {
        SkipWhitespace(c);
        std::string base;
        if (c.pos < c.text.size() && c.text[c.pos] == '"') {
            if (!ReadString(c, base)) return false;
        } else if (!SkipValue(c)) {
            return false;
        }
        const bool web = base.rfind("http://", 0) == 0 || base.rfind("https://", 0) == 0;
        if (web && mirrors.size() < kMaxMirrors) mirrors.push_back(std::move(base));
        if (!Consume(c, ',')) return Consume(c, ']');
    }
}

// "next": an object whose "url" is a non-empty string; any other value, or an object without one, is
// passed over like an unknown member.
bool ReadNext(JsonCursor& c, PatchManifest::Next& next) {
    SkipWhitespace(c);
    if (c.pos >= c.text.size() || c.text[c.pos] != '{') return SkipValue(c);
    Consume(c, '{');
    PatchManifest::Next read;
    const bool ok = ReadMembers(c, [&](const std::string& name) {
        SkipWhitespace(c);
        if (name == "url" && c.pos < c.text.size() && c.text[c.pos] == '"') return ReadString(c, read.url);
        std::string text;
        if (!ReadScalarText(c, text)) return false;
        if (name == "while_playing") SetFlag(text, read.whilePlaying);
        if (name == "max_kib_per_s") SetNumber(text, 1, kMaxPreloadKibPerS, read.maxKibPerS);
        return true;
    });
    if (ok && !read.url.empty() && read.url.find('\0') == std::string::npos) next = std::move(read);
    return ok;
}

bool ReadRootMember(JsonCursor& c, const std::string& name, PatchManifest& manifest) {
    if (name == "version") return ReadString(c, manifest.version);
    if (name == "delete_dirs") return ReadStringArray(c, manifest.delete_dirs);
    if (name == "delete_files") return ReadStringArray(c, manifest.delete_files);
    if (name == "files") return ReadFileList(c, manifest.files);
    if (name == "download") return ReadDownloadOptions(c, manifest);
    if (name == "mirrors") return ReadMirrors(c, manifest.mirrors);
    if (name == "check") return ReadCheckOptions(c, manifest);
    if (name == "next") return ReadNext(c, manifest.next);
    return SkipValue(c);
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

}  // namespace

bool ParseManifest(const std::string& text, PatchManifest& manifest) {
    if (!CursorCanAddress(text.size())) return false;
    JsonCursor c{text};
    // Whatever follows the root is not read.
    return Consume(c, '{') &&
           ReadMembers(c, [&](const std::string& name) { return ReadRootMember(c, name, manifest); });
}

std::wstring ResolveFileUrl(const std::wstring& manifestUrl, const std::wstring& entryUrl) {
    if (StartsWith(entryUrl, L"http://") || StartsWith(entryUrl, L"https://")) return entryUrl;
    const std::wstring base = manifestUrl.substr(0, manifestUrl.find(L'?'));
    const size_t lastSlash = base.rfind(L'/');
    if (lastSlash == std::wstring::npos) return entryUrl;
    // "https://host" has no path: its last '/' belongs to the "//", and the host would be lost.
    const size_t firstSlash = base.find(L'/');
    if (firstSlash > 0 && base[firstSlash - 1] == L':' && lastSlash == firstSlash + 1)
        return base + L"/" + entryUrl;
    return base.substr(0, lastSlash + 1) + entryUrl;
}
