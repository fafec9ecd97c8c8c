#include "Keys.h"
#include "Stamp.h"

bool IsReleasePatcher(const std::string& path) { return FoldCase(path) == FoldCase("QirellPatcher.exe"); }

std::string PatcherKeyProblem(const fs::path& file, const std::string& shown, const KeyId& signer) {
    const std::string refused = "; players' patchers that check signatures would refuse to install it";
    std::string image, error;
    size_t at = 0;
    if (!ReadWholeFile(file, image)) return shown + ": cannot be read to check its keys";
    if (!LocateStampBlock(image, at, error)) return shown + ": " + error + refused;
    StampSettings settings;
    ReadStampBlock(reinterpret_cast<const uint8_t*>(image.data() + at), kStampBlockSize, settings);
    std::string carried;
    for (const PublicKey& key : settings.keys) {
        if (KeyIdOf(key) == signer) return {};
        carried += (carried.empty() ? "" : ", ") + KeyIdHex(KeyIdOf(key));
    }
    return shown + ": its stamp block lacks the signing key " + KeyIdHex(signer) + " (it carries " +
           (carried.empty() ? "no keys" : carried) + ")" + refused +
           ". Stamp it with that key's .pub, or sign with a key it carries";
}

void CheckPublishedPatcher(const fs::path& root, const std::string& urlPrefix, const KeyId& signer,
                           std::vector<std::string>& problems) {
    PatchManifest manifest;
    std::string error;
    if (!ReadManifestFile(root / "manifest.json", manifest, error)) return;  // reported by the caller's other checks
    for (const ManifestFile& f : manifest.files) {
        if (!IsReleasePatcher(f.path)) continue;
        std::string local, problem;
        if (!AddressToPublished(f.url, f.path, urlPrefix, local, problem)) {
            problems.push_back(f.path + ": its keys cannot be checked: address " + Printable(f.url) + " " + problem);
            continue;
        }
        problem = PatcherKeyProblem(root / Utf8ToPath(local), f.path, signer);
        if (!problem.empty()) problems.push_back(problem);
    }
}
