// The "next" member: the release that follows a published one, announced so that players' patchers
// fetch its changed files ahead. Its options, its text, and where its manifest lies on disk.
#include "Stamp.h"
#include "Tool.h"
#include "manifest/Json.h"

namespace {

bool ParseKibPerS(const std::string& text, unsigned& value) {
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = static_cast<unsigned>(std::stoul(text));
    return value >= 1 && value <= kMaxPreloadKibPerS;
}

}  // namespace

std::string NextUrlProblem(const std::string& url) {
    if (url.empty()) return "the address is empty";
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7F) return "the address holds a space or a control character";
    // The patcher adds its "?t=" query and ".sig" to the address; after a '#' the server would see neither.
    if (url.find('#') != std::string::npos) return "the address holds '#'";
    if (IsAbsoluteAddress(url)) return StampUrlProblem(url);
    const size_t colon = url.find(':');
    if (colon != std::string::npos && colon < url.find_first_of("/?"))
        return "the address must begin with http:// or https:// (in lower case), or be relative to the "
               "manifest's own address (../next/manifest.json)";
    if (url[0] == '/' || url[0] == '\\')
        return "the address starts with a separator, which the patcher puts after the manifest's folder; give "
               "it relative to that folder (../next/manifest.json) or whole (https://...)";
    if (url.size() > kStampUrlCapacity)
        return "the address is longer than " + std::to_string(kStampUrlCapacity) + " bytes";
    std::string decoded, problem;
    if (!DecodeAddressPath(url.substr(0, url.find('?')), decoded, problem)) return "the address " + problem;
    return {};
}

bool TakeNextOption(const std::vector<std::string>& args, size_t& i, NextOptions& next, std::string& problem) {
    const std::string& a = args[i];
    if (a == "--while-playing") {
        next.whilePlaying = true;
        return true;
    }
    if (a != "--next" && a != "--max-kib-per-s") return false;
    if (i + 1 >= args.size()) {
        problem = a + " needs a value";
        return true;
    }
    const std::string& value = args[++i];
    if (a == "--next") {
        const std::string why = NextUrlProblem(value);
        if (!why.empty()) problem = "--next " + Printable(value) + ": " + why;
        next.url = value;
    } else if (!ParseKibPerS(value, next.maxKibPerS)) {
        problem = "--max-kib-per-s takes a whole number from 1 to " + std::to_string(kMaxPreloadKibPerS) + ", not " +
                  Printable(value);
    }
    return true;
}

std::string NextOptionsProblem(const NextOptions& next) {
    if (next.url.empty() && next.whilePlaying) return "--while-playing needs --next";
    if (next.url.empty() && next.maxKibPerS) return "--max-kib-per-s needs --next";
    if (next.maxKibPerS && !next.whilePlaying) return "--max-kib-per-s has no effect without --while-playing";
    return {};
}

bool RootMembers(const std::string& text, std::vector<MemberSpan>& members, size_t& closeAt) {
    members.clear();
    if (!CursorCanAddress(text.size())) return false;
    JsonCursor c{text};
    if (!Consume(c, '{')) return false;
    SkipWhitespace(c);
    if (Consume(c, '}')) {
        closeAt = c.pos - 1;
        return true;
    }
    for (;;) {
        SkipWhitespace(c);
        MemberSpan m;
        m.start = c.pos;
        if (!ReadString(c, m.name) || !Consume(c, ':') || !SkipValue(c)) return false;
        m.end = c.pos;
        members.push_back(m);
        if (Consume(c, ',')) continue;
        if (!Consume(c, '}')) return false;
        closeAt = c.pos - 1;
        return true;
    }
}

bool HasRootMember(const std::string& text, const std::string& name) {
    std::vector<MemberSpan> members;
    size_t closeAt = 0;
    RootMembers(text, members, closeAt);
    for (const MemberSpan& m : members)
        if (m.name == name) return true;
    return false;
}

bool RemoveRootMembers(std::string& text, const std::string& name) {
    for (;;) {
        std::vector<MemberSpan> members;
        size_t closeAt = 0;
        if (!RootMembers(text, members, closeAt)) return false;
        size_t k = 0;
        while (k < members.size() && members[k].name != name) ++k;
        if (k == members.size()) return true;
        // With the comma before it, or for the first member the one after it, and the spaces up to the next name.
        const size_t from = k > 0 ? members[k - 1].end : members[k].start;
        const size_t to = k > 0 || members.size() == 1 ? members[k].end : members[1].start;
        text.erase(from, to - from);
    }
}

bool SetNextMember(std::string& text, const NextOptions* next) {
    if (!RemoveRootMembers(text, "next")) return false;
    if (!next) return true;
    std::string member = "\"next\": {\"url\": ";
    if (!AppendJsonString(member, next->url)) return false;
    if (next->whilePlaying) member += ", \"while_playing\": true";
    if (next->maxKibPerS) member += ", \"max_kib_per_s\": " + std::to_string(next->maxKibPerS);
    member += "}";
    std::vector<MemberSpan> members;
    size_t closeAt = 0;
    if (!RootMembers(text, members, closeAt)) return false;
    if (members.empty())
        text.insert(closeAt, "\n  " + member + "\n");
    else
        text.insert(members.back().end, ",\n  " + member);
    return true;
}

bool NextManifestOnDisk(const fs::path& outDir, const std::string& url, const std::string& nextDir, fs::path& manifest,
                        std::string& problem) {
    if (IsAbsoluteAddress(url)) {
        if (nextDir.empty()) {
            problem =
                "an absolute address; give --next-dir DIR, the local copy of that release's output folder, "
                "to check it";
            return false;
        }
        manifest = Utf8ToPath(nextDir) / "manifest.json";
        return true;
    }
    std::string decoded;
    if (!DecodeAddressPath(url.substr(0, url.find('?')), decoded, problem)) {
        problem = "the address " + problem;
        return false;
    }
    manifest = (outDir / Utf8ToPath(decoded)).lexically_normal();
    if (manifest.filename() != "manifest.json") {
        problem = "leads to " + PathToUtf8(manifest) + ", which is not a manifest.json as build writes it";
        return false;
    }
    return true;
}

bool NextLeadsBack(const fs::path& outDir, const std::string& url) {
    fs::path target;
    std::string problem;
    if (IsAbsoluteAddress(url) || !NextManifestOnDisk(outDir, url, "", target, problem)) return false;
    std::error_code ec;
    const fs::path own = fs::weakly_canonical(fs::absolute(outDir / "manifest.json", ec), ec);
    return !ec && fs::weakly_canonical(fs::absolute(target, ec), ec) == own && !ec;
}
