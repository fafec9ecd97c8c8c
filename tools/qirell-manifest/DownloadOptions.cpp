#include "Stamp.h"
#include "Tool.h"
#include "manifest/Json.h"
#include "net/RangeRules.h"

bool ParseConnections(const std::string& text, unsigned& connections) {
    if (text.empty() || text.size() > 1 || text[0] < '1' || text[0] > '0' + static_cast<int>(kMaxConnections))
        return false;
    connections = static_cast<unsigned>(text[0] - '0');
    return true;
}

bool AddDownloadMember(std::string& text, unsigned connections, bool resume) {
    if (connections <= 1 && !resume) return true;
    const size_t end = text.rfind("\n}");
    if (end == std::string::npos) return false;
    std::string member = ",\n  \"download\": {";
    if (connections > 1) member += "\"connections\": " + std::to_string(connections);
    if (resume) member += std::string(connections > 1 ? ", " : "") + "\"resume\": true";
    member += "}";
    text.insert(end, member);
    return true;
}

std::string MirrorProblem(const std::string& base) {
    std::string problem = StampUrlProblem(base);
    if (!problem.empty()) return problem;
    const size_t hostAt = base.find("//") + 2, pathAt = base.find('/', hostAt);
    if (base.find_first_of("?#") != std::string::npos) return "a mirror is a folder: no query or fragment";
    if (pathAt == std::string::npos || base.back() != '/')
        return "a mirror is a folder: its address must end in '/'";
    return {};
}

bool AddMirrorsMember(std::string& text, const std::vector<std::string>& mirrors) {
    if (mirrors.empty()) return true;
    const size_t end = text.rfind("\n}");
    if (end == std::string::npos || mirrors.size() > kMaxMirrors) return false;
    std::string member = ",\n  \"mirrors\": [";
    for (size_t i = 0; i < mirrors.size(); ++i) {
        if (!MirrorProblem(mirrors[i]).empty() || mirrors[i].find_first_of("\"\\") != std::string::npos) return false;
        member += (i ? ", \"" : "\"") + mirrors[i] + "\"";
    }
    text.insert(end, member + "]");
    return true;
}

void CheckMirrors(const std::string& manifestText, std::vector<std::string>& problems) {
    if (!CursorCanAddress(manifestText.size())) return;
    JsonCursor c{manifestText};
    std::vector<std::string> mirrors;
    bool found = false, readable = true;
    const bool read = Consume(c, '{') && ReadMembers(c, [&](const std::string& name) {
        if (name != "mirrors") return SkipValue(c);
        found = true;
        const uint32_t at = c.pos;
        if (ReadStringArray(c, mirrors)) return true;
        readable = false;
        c.pos = at;
        return SkipValue(c);
    });
    if (!read) {
        problems.push_back("manifest.json: not a valid manifest");
        return;
    }
    if (!found) return;
    if (!readable) problems.push_back("mirrors: must be an array of addresses; patchers pass over anything else in it");
    if (mirrors.size() > kMaxMirrors)
        problems.push_back("mirrors: " + std::to_string(mirrors.size()) + " bases; patchers use only the first " +
                           std::to_string(kMaxMirrors));
    for (const std::string& base : mirrors) {
        const std::string problem = MirrorProblem(base);
        if (!problem.empty()) problems.push_back("mirrors: " + Printable(base) + ": " + problem);
    }
}

bool ParseFullCheckDays(const std::string& text, unsigned& days) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    days = static_cast<unsigned>(std::stoul(text));
    return days >= 1 && days <= kMaxFullCheckDays;
}

bool AddCheckMember(std::string& text, bool reuseVerified, unsigned fullCheckDays) {
    if (!reuseVerified) return true;
    const size_t end = text.rfind("\n}");
    if (end == std::string::npos) return false;
    std::string member = ",\n  \"check\": {\"reuse_verified\": true";
    if (fullCheckDays) member += ", \"full_check_days\": " + std::to_string(fullCheckDays);
    text.insert(end, member + "}");
    return true;
}

std::vector<std::string> WholeDownloadWarnings(const std::vector<ReleaseFile>& files, bool resume) {
    // Wine's (and so Proton's) WinHTTP ends every response body here and reports success; a resumed
    // download gets one more response per continuation.
    constexpr uint64_t kWineResponseLimit = 2147483647;
    const uint64_t most = resume ? kWineResponseLimit * (kResumeAttempts + 1) : kWineResponseLimit;
    std::vector<std::string> warnings;
    for (const ReleaseFile& f : files) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(f.source, ec);
        if (ec || size <= most) continue;
        warnings.push_back(Printable(f.path) + ": " + std::to_string(size) +
                           " bytes; players under Wine or Proton get at most 2147483647 bytes (2 GiB) of one "
                           "response, so they can never download it " +
                           (resume ? "even with --resume (" + std::to_string(kResumeAttempts) + " continuations)"
                                   : std::string("without --resume")));
    }
    return warnings;
}
