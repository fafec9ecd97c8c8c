#include <cstdio>
#include <fstream>

#include "Keys.h"
#include "Stamp.h"

namespace {

constexpr const char* kStampHelp =
    "usage: qirell-manifest stamp PATCHER.exe --url URL [--url URL ...] [--public-key PUBFILE ...] -o OUT.exe\n"
    "       qirell-manifest stamp PATCHER.exe --show\n"
    "\n"
    "Writes the manifest addresses and up to 4 public keys into the reserved block of a copy of a\n"
    "prebuilt patcher; the copy reads them at start-up instead of the addresses it was built with.\n"
    "Every stamp replaces the previous one whole: a copy stamped without --public-key checks no\n"
    "signatures. Icon, version and application manifest stay as they are. Sign the copy (Authenticode)\n"
    "after stamping, never before.\n"
    "  --url URL            the manifest address (http:// or https://); repeated (up to 4), the\n"
    "                       further addresses are tried in order when the one before fails\n"
    "  --public-key FILE    a PEM public key whose signatures the patcher accepts (repeatable, up to 4)\n"
    "  -o OUT.exe           the stamped copy (may name PATCHER.exe itself)\n"
    "  --show               print what the executable carries now\n";

void Fail(const std::string& message) { std::fprintf(stderr, "qirell-manifest: stamp: %s\n", message.c_str()); }

void Show(const std::string& name, const StampSettings& s) {
    if (s.stamped) {
        std::printf("%s: stamped\nurl %s\n", name.c_str(), s.url.c_str());
        for (const std::string& more : s.fallbackUrls) std::printf("url %s\n", more.c_str());
    }
    else std::printf("%s: not stamped (the address it was built with applies; its keys are the build's)\n", name.c_str());
    for (const PublicKey& key : s.keys)
        std::printf("key %s %s\n", KeyIdHex(KeyIdOf(key)).c_str(), PublicKeyHex(key).c_str());
}

}  // namespace

int RunStamp(const std::vector<std::string>& args) {
    std::string input, out;
    std::vector<std::string> keyFiles, urls;
    bool haveUrl = false, show = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            std::fputs(kStampHelp, stdout);
            return 0;
        } else if (a == "--url" && hasValue) {
            urls.push_back(args[++i]);
            haveUrl = true;
        } else if (a == "--public-key" && hasValue) {
            keyFiles.push_back(args[++i]);
        } else if ((a == "-o" || a == "--output") && hasValue && !args[i + 1].empty()) {
            out = args[++i];
        } else if (a == "--show") {
            show = true;
        } else if (a.empty() || a[0] == '-' || !input.empty()) {
            Fail(a.empty() || a[0] == '-' ? "unknown option or missing value: " + a : "more than one executable given");
            std::fputs(kStampHelp, stderr);
            return 2;
        } else {
            input = a;
        }
    }
    if (input.empty() || (!show && (!haveUrl || out.empty())) || (show && (haveUrl || !out.empty() || !keyFiles.empty()))) {
        std::fputs(kStampHelp, stderr);
        return 2;
    }

    std::string image, error;
    if (!ReadWholeFile(Utf8ToPath(input), image)) {
        Fail(input + ": cannot be read");
        return 1;
    }
    size_t at = 0;
    // Showing leaves a signed image as it is; stamping would break its signature.
    if (!(show ? LocateStampBlock(image, at, error) : FindStampBlock(image, at, error))) {
        Fail(input + ": " + error);
        return 1;
    }
    if (show) {
        StampSettings current;
        ReadStampBlock(reinterpret_cast<const uint8_t*>(image.data() + at), kStampBlockSize, current);
        Show(input, current);
        return 0;
    }

    StampSettings current;
    ReadStampBlock(reinterpret_cast<const uint8_t*>(image.data() + at), kStampBlockSize, current);
    StampSettings settings;
    settings.stamped = true;
    settings.layout = current.layout;  // an older patcher reads only its own layout
    for (const std::string& url : urls) {
        const std::string urlProblem = StampUrlProblem(url);
        if (!urlProblem.empty()) {
            Fail(Printable(url) + ": " + urlProblem);
            return 1;
        }
    }
    if (urls.size() > kMaxManifestUrls) {
        Fail("at most " + std::to_string(kMaxManifestUrls) + " manifest addresses fit");
        return 1;
    }
    if (urls.size() > 1 && settings.layout == kStampOneUrlLayout) {
        Fail(input + ": this patcher reads one manifest address; stamp a newer build to give more");
        return 1;
    }
    settings.url = urls.front();
    settings.fallbackUrls.assign(urls.begin() + 1, urls.end());
    if (keyFiles.size() > kMaxPublicKeys) {
        Fail("at most " + std::to_string(kMaxPublicKeys) + " public keys fit");
        return 1;
    }
    for (const std::string& file : keyFiles) {
        PublicKey key;
        if (!ReadPublicKeyFile(Utf8ToPath(file), key, error)) {
            Fail(error);
            return 1;
        }
        for (const PublicKey& other : settings.keys)
            if (other == key) {
                Fail(file + ": the same key is given twice");
                return 1;
            }
        settings.keys.push_back(key);
    }
    if (!WriteStampBlock(settings, reinterpret_cast<uint8_t*>(image.data() + at), kStampBlockSize)) {
        Fail(input + ": the address and keys do not fit the stamp block");
        return 1;
    }
    UpdatePeChecksum(image);

    // Through a temporary file beside the target, so a failure never leaves half an executable.
    const fs::path target = Utf8ToPath(out), temp = Utf8ToPath(out + ".stamp.tmp");
    std::error_code ec;
    {
        std::ofstream o(temp, std::ios::binary | std::ios::trunc);
        o.write(image.data(), static_cast<std::streamsize>(image.size()));
        o.close();
        if (!o) {
            fs::remove(temp, ec);
            Fail(out + ": cannot be written");
            return 1;
        }
    }
    fs::permissions(temp, fs::status(Utf8ToPath(input), ec).permissions(), ec);
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        Fail(out + ": " + ec.message());
        return 1;
    }
    if (settings.keys.empty())
        std::fprintf(stderr, "qirell-manifest: stamp: no public key given: %s will not check signatures\n", out.c_str());
    Show(out, settings);
    return 0;
}
