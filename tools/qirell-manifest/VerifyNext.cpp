// verify's look at the release a published one announces: checked as any published folder is, and
// held to the announcing release's signing rules, since patchers fetch it ahead with the same trust.
#include <cstdio>

#include "Keys.h"
#include "Tool.h"
#include "text/Hex.h"
#include "trust/Sequence.h"

namespace {

using Report = std::function<void(const std::string&)>;

bool SignerOf(const fs::path& sigFile, KeyId& id) {
    std::string bytes;
    ManifestSignature signature;
    if (!ReadWholeFile(sigFile, bytes) || !ParseSignatureFile(bytes, signature)) return false;
    id = signature.keyId;
    return true;
}

void CheckSequence(const std::string& currentText, const std::string& nextText, const Report& problem) {
    uint64_t current = 0, next = 0;
    const bool haveCurrent = ReadManifestSequence(currentText, current) == SequenceRead::Present;
    const std::string least = haveCurrent ? " (more than " + std::to_string(current) + ")" : "";
    switch (ReadManifestSequence(nextText, next)) {
        case SequenceRead::Malformed:
            problem("its \"sequence\" is not an integer from 0 to 2^53; patchers that check signatures refuse it");
            return;
        case SequenceRead::Absent:
            problem(
                "carries no sequence; patchers that check signatures fetch ahead only a release whose sequence is "
                "higher than this one's" +
                least);
            return;
        case SequenceRead::Present:
            if (haveCurrent && next <= current)
                problem("sequence " + std::to_string(next) + " is not higher than this release's " +
                        std::to_string(current) + "; patchers that check signatures refuse to fetch it ahead");
            return;
    }
}

// The rules a signed release puts on the one it announces: signed, by keys its patchers carry, with a
// higher sequence.
void CheckSigned(const fs::path& root, const fs::path& nextDir, const std::string& currentText,
                 const std::string& nextText, const std::vector<std::string>& publicKeys, const Report& problem) {
    std::error_code ec;
    if (!fs::exists(nextDir / "manifest.json.sig", ec)) {
        problem(
            "not signed (no manifest.json.sig) while this release is; patchers that check signatures refuse to "
            "fetch it ahead");
        return;
    }
    if (!publicKeys.empty()) {
        CheckPublishedSignature(nextDir, "", publicKeys, problem);
    } else {
        KeyId ours{}, theirs{};
        if (!SignerOf(nextDir / "manifest.json.sig", theirs))
            problem("manifest.json.sig: not a signature file");
        else if (SignerOf(root / "manifest.json.sig", ours) && ours != theirs)
            problem("signed with key " + HexLower(theirs.data(), 8) + ", this release with key " +
                    HexLower(ours.data(), 8) +
                    "; give --public-key with every key players' patchers carry to check both signatures");
    }
    CheckSequence(currentText, nextText, problem);
}

}  // namespace

void VerifyNextRelease(const fs::path& root, const std::string& nextDir, const std::vector<std::string>& publicKeys,
                       bool mirrors, std::vector<std::string>& problems) {
    std::string text;
    PatchManifest current;
    // A manifest that does not read is reported by the check of the folder itself.
    if (!ReadWholeFile(root / "manifest.json", text) || !ParseManifest(text, current)) return;
    const std::string& url = current.next.url;
    if (url.empty()) {
        if (HasRootMember(text, "next"))
            problems.push_back("next: patchers pass this member over: it must be an object with a \"url\" string");
        if (!nextDir.empty()) std::fprintf(stderr, "qirell-manifest: no next release announced; --next-dir not used\n");
        return;
    }
    const Report problem = [&](const std::string& p) {
        problems.push_back("next release " + Printable(url) + ": " + p);
    };
    fs::path nextManifest;
    std::string why = NextUrlProblem(url);
    if (why.empty()) NextManifestOnDisk(root, url, nextDir, nextManifest, why);
    if (!why.empty()) return problem(why);
    if (!nextDir.empty() && !IsAbsoluteAddress(url))
        std::fprintf(stderr, "qirell-manifest: %s is followed on disk; --next-dir not used\n", url.c_str());
    std::error_code ec;
    if (fs::equivalent(nextManifest, root / "manifest.json", ec)) return problem("leads back to this release itself");
    const fs::path nextRoot = nextManifest.parent_path();
    std::vector<std::string> found;
    VerifyPublished(nextRoot, "", found);
    std::string nextText;
    const bool read = ReadWholeFile(nextManifest, nextText);
    if (read && mirrors) CheckMirrors(nextText, found);
    for (const std::string& p : found) problem(p);
    if (!read) return;
    if (fs::exists(root / "manifest.json.sig", ec) || !publicKeys.empty())
        CheckSigned(root, nextRoot, text, nextText, publicKeys, problem);
    PatchManifest next;
    if (ParseManifest(nextText, next) && !next.next.url.empty())
        std::fprintf(stderr, "qirell-manifest: the next release announces its own next, %s; not followed\n",
                     Printable(next.next.url).c_str());
}
