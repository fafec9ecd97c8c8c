// qirell-manifest announce: a published release names the release that follows it, or no longer does.
#include <cstdio>
#include <ctime>

#include "Keys.h"
#include "Tool.h"
#include "text/Hex.h"
#include "trust/Expiry.h"

namespace {

constexpr const char* kAnnounceHelp =
    "usage: qirell-manifest announce OUT_DIR --next URL [--while-playing [--max-kib-per-s N]]\n"
    "                                [--sign KEYFILE [--expires-days N]]\n"
    "       qirell-manifest announce OUT_DIR --withdraw [--sign KEYFILE [--expires-days N]]\n"
    "\n"
    "Announces the release that follows the one published in OUT_DIR: writes (or replaces) the \"next\"\n"
    "member of OUT_DIR/manifest.json, so that players' patchers, once their folder is up to date, fetch\n"
    "the next release's changed files ahead into a folder of their own. On release day, publishing the\n"
    "next manifest as the live one makes those files go into place without a download. Everything else\n"
    "in the manifest (entries, sequence) stays byte for byte; the manifest is replaced in one rename, and\n"
    "a failure leaves it as it was.\n"
    "  --next URL            the next release's manifest: http:// or https://, or relative to this\n"
    "                        manifest's own address (../next/manifest.json)\n"
    "  --while-playing       patchers go on fetching ahead, in the background, while the game runs\n"
    "  --max-kib-per-s N     with --while-playing: at most N KiB/s then (1 to 1048576; default 512)\n"
    "  --withdraw            take the announcement back: patchers delete what they fetched ahead\n"
    "  --sign KEYFILE        needed when OUT_DIR/manifest.json.sig exists: signs the changed manifest\n"
    "                        again, with the same sequence (patchers accept the same sequence again)\n"
    "  --expires-days N      with --sign: a new \"expires\", N days from now; without it the manifest\n"
    "                        keeps its own\n";

void Fail(const std::string& message) { std::fprintf(stderr, "qirell-manifest: %s\n", message.c_str()); }

struct AnnounceOptions {
    std::string dir, signKey;
    NextOptions next;
    bool withdraw = false;
    int expiresDays = 0;
};

int Usage(const std::string& message) {
    if (!message.empty()) Fail("announce: " + message);
    std::fputs(kAnnounceHelp, stderr);
    return 2;
}

// -1 when the options are complete, else the exit code.
int ParseAnnounceArgs(const std::vector<std::string>& args, AnnounceOptions& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string problem;
        if (a == "--help" || a == "-h") {
            std::fputs(kAnnounceHelp, stdout);
            return 0;
        } else if (TakeNextOption(args, i, o.next, problem)) {
            if (!problem.empty()) return Usage(problem);
        } else if (a == "--withdraw") {
            o.withdraw = true;
        } else if (a == "--sign") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return Usage("--sign needs a value");
            o.signKey = args[++i];
        } else if (a == "--expires-days") {
            if (i + 1 >= args.size() || !ParseExpiresDays(args[i + 1], o.expiresDays))
                return Usage("--expires-days takes a whole number of days from 1 to 99999");
            ++i;
        } else if (!a.empty() && a[0] == '-') {
            return Usage("unknown option " + a);
        } else if (o.dir.empty() && !a.empty()) {
            o.dir = a;
        } else {
            return Usage("one published folder, please (" + a + ")");
        }
    }
    if (o.dir.empty()) return Usage("");
    if (o.withdraw == !o.next.url.empty()) return Usage("give either --next URL or --withdraw");
    if (o.withdraw && (o.next.whilePlaying || o.next.maxKibPerS))
        return Usage("--withdraw takes no --while-playing or --max-kib-per-s");
    if (const std::string problem = NextOptionsProblem(o.next); !problem.empty()) return Usage(problem);
    if (o.expiresDays && o.signKey.empty()) return Usage("--expires-days needs --sign");
    return -1;
}

// The manifest text with the change asked for; false with the reason.
bool ChangedText(const AnnounceOptions& o, const PatchManifest& current, std::string& text, std::string& error) {
    if (!SetNextMember(text, o.withdraw ? nullptr : &o.next) ||
        (o.expiresDays && (!RemoveRootMembers(text, "expires") || !AddExpiry(text, o.expiresDays, error)))) {
        if (error.empty()) error = "the manifest's members cannot be told apart";
        return false;
    }
    PatchManifest back;
    if (!ParseManifest(text, back) || back.next.url != o.next.url || back.files.size() != current.files.size()) {
        error = "the changed manifest does not read back as it should";
        return false;
    }
    int64_t expires = 0;
    if (!o.signKey.empty() && ReadManifestExpiry(text, expires) == ExpiryRead::Present &&
        expires <= static_cast<int64_t>(std::time(nullptr))) {
        error = "the manifest expired at " + FormatUtcTime(expires) + "; give --expires-days N for a new expiry";
        return false;
    }
    return true;
}

void WarnOfANextNotThereYet(const fs::path& root, const std::string& url) {
    fs::path target;
    std::string problem;
    std::error_code ec;
    if (IsAbsoluteAddress(url) || !NextManifestOnDisk(root, url, "", target, problem) || fs::exists(target, ec)) return;
    Fail("warning: --next " + url + ": nothing at " + PathToUtf8(target) +
         " yet; publish the next release there before players' patchers ask for it");
}

// The signature goes in first, then the manifest; when the manifest cannot follow, the old signature
// is put back, so a failure leaves the pair as it was.
bool Publish(const fs::path& root, const std::string& text, const std::string& signature,
             const std::string& oldSignature, std::string& error) {
    const fs::path manifest = root / "manifest.json", manifestTemp = root / "manifest.json.tmp",
                   sig = root / "manifest.json.sig", sigTemp = root / "manifest.json.sig.tmp";
    std::error_code ec;
    if (!WriteWholeFile(manifestTemp, text) || (!signature.empty() && !WriteWholeFile(sigTemp, signature))) {
        error = PathToUtf8(root) + ": the new manifest cannot be written there";
        fs::remove(manifestTemp, ec);
        fs::remove(sigTemp, ec);
        return false;
    }
    if (!signature.empty() && !MoveOver(sigTemp, sig, error)) {
        fs::remove(manifestTemp, ec);
        return false;
    }
    if (MoveOver(manifestTemp, manifest, error)) return true;
    std::string ignored;
    if (!signature.empty() && !ReplaceFile(sig, sigTemp, oldSignature, ignored))
        error += "; the previous signature could not be put back either: run 'qirell-manifest sign " +
                 PathToUtf8(root) + " --key KEYFILE'";
    return false;
}

}  // namespace

int RunAnnounce(const std::vector<std::string>& args) {
    AnnounceOptions o;
    if (int code = ParseAnnounceArgs(args, o); code >= 0) return code;
    const fs::path root = Utf8ToPath(o.dir), manifestFile = root / "manifest.json",
                   sigFile = root / "manifest.json.sig";
    const std::string shown = PathToUtf8(manifestFile);
    PatchManifest current;
    std::string text, error;
    if (!ReadManifestFile(manifestFile, current, error, &text)) {
        Fail("announce: " + error + "; nothing changed");
        return 1;
    }
    if (o.withdraw && !HasRootMember(text, "next")) {
        Fail(shown + " announces no next release; nothing changed");
        return 0;
    }
    std::error_code ec;
    const bool isSigned = fs::exists(sigFile, ec);
    std::string oldSignature;
    if (isSigned && o.signKey.empty()) {
        Fail("announce: " + shown +
             " is signed (manifest.json.sig), so the changed manifest needs a new signature: "
             "give --sign KEYFILE; nothing changed");
        return 1;
    }
    if (!isSigned && !o.signKey.empty()) {
        Fail("announce: " + shown +
             " is not signed; announce signs only a release that was signed already "
             "(build --sign gives one its sequence); nothing changed");
        return 1;
    }
    if (isSigned && !ReadWholeFile(sigFile, oldSignature)) {
        Fail("announce: " + PathToUtf8(sigFile) + ": cannot be read; nothing changed");
        return 1;
    }
    if (!o.withdraw && NextLeadsBack(root, o.next.url)) {
        Fail("announce: --next " + o.next.url + " leads back to " + shown + " itself; nothing changed");
        return 1;
    }
    if (!o.withdraw) WarnOfANextNotThereYet(root, o.next.url);
    std::string signature;
    if (!ChangedText(o, current, text, error)) {
        Fail("announce: " + shown + ": " + error + "; nothing changed");
        return 1;
    }
    ManifestSignature made;
    if (isSigned) {
        if (!SignManifestBytes(root, o.signKey, text, made, error)) {
            Fail("announce: " + error + "; nothing changed");
            return 1;
        }
        signature = SignatureFileText(made);
    }
    if (!Publish(root, text, signature, oldSignature, error)) {
        Fail("announce: " + error);
        return 1;
    }
    if (o.withdraw)
        Fail("withdrew the next release from " + shown);
    else
        Fail("announced " + o.next.url + " in " + shown);
    if (isSigned) Fail("signed again with key " + HexLower(made.keyId.data(), 8) + ", the same sequence");
    return 0;
}
