#include <cstdio>
#include <ctime>

#include "Keys.h"
#include "text/Hex.h"
#include "Stamp.h"
#include "trust/Expiry.h"
#include "trust/Sequence.h"

namespace {

constexpr const char* kKeygenHelp =
    "usage: qirell-manifest keygen KEYFILE\n"
    "\n"
    "Makes an ECDSA P-256 key pair: the private key in KEYFILE (PEM, readable by its owner only; keep it\n"
    "offline, never on the update server) and the public key in KEYFILE.pub (PEM), also printed with its\n"
    "key id and the hexadecimal form that the QIRELL_MANIFEST_PUBLIC_KEYS build option takes.\n";

constexpr const char* kSignHelp =
    "usage: qirell-manifest sign OUT_DIR --key KEYFILE\n"
    "\n"
    "Signs OUT_DIR/manifest.json as it is now, writing OUT_DIR/manifest.json.sig (what build --sign does\n"
    "after writing the manifest). Any change to manifest.json afterwards needs a new signature.\n";

void Fail(const std::string& message) { std::fprintf(stderr, "qirell-manifest: %s\n", message.c_str()); }

// A signature that the key's own public half does not accept would be refused by every patcher.
bool CheckFreshSignature(const fs::path& keyFile, const std::string& message, const ManifestSignature& signature,
                         std::string& error) {
    PublicKey key;
    if (!ReadPublicHalf(keyFile, key, error)) return false;
    if (VerifyMessage(key, message, signature.rs)) return true;
    error = PathToUtf8(keyFile) + ": the signature just made does not verify with the key's public half (key " +
            HexLower(signature.keyId.data(), 8) + "), so no patcher would accept it; not published";
    return false;
}

}  // namespace

bool KeyFilesAreNew(const fs::path& privateFile, const fs::path& publicFile, std::string& error) {
    std::error_code ec;
    if (!fs::exists(privateFile, ec) && !fs::exists(publicFile, ec)) return true;
    error = PathToUtf8(fs::exists(privateFile, ec) ? privateFile : publicFile) + ": exists already; not replaced";
    return false;
}

std::string KeyIdHex(const KeyId& id) { return HexLower(id.data(), id.size()); }

int RunKeygen(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kKeygenHelp, stdout);
        return 0;
    }
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
        std::fputs(kKeygenHelp, stderr);
        return 2;
    }
    const fs::path privateFile = Utf8ToPath(args[0]), publicFile = Utf8ToPath(args[0] + ".pub");
    std::string pem, error;
    if (!GenerateKeyPair(privateFile, publicFile, pem, error)) {
        Fail("keygen: " + error);
        return 1;
    }
    PublicKey key;
    if (!ReadPublicKeyFile(publicFile, key, error)) {
        Fail("keygen: " + error);
        return 1;
    }
    std::printf("%skey id %s\nQIRELL_MANIFEST_PUBLIC_KEYS form: %s\n", pem.c_str(), KeyIdHex(KeyIdOf(key)).c_str(),
                PublicKeyHex(key).c_str());
    std::fprintf(stderr, "qirell-manifest: private key %s, public key %s\n", args[0].c_str(), (args[0] + ".pub").c_str());
    return 0;
}

bool ParseExpiresDays(const std::string& text, int& days) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    days = std::stoi(text);
    return days >= 1;
}

bool AddExpiry(std::string& manifestText, int days, std::string& error) {
    if (manifestText.empty() || manifestText[0] != '{') {
        error = "the manifest text does not begin with an object";
        return false;
    }
    const std::string expires = FormatUtcTime(static_cast<int64_t>(std::time(nullptr)) + int64_t(days) * 86400);
    manifestText.insert(1, "\n  \"expires\": \"" + expires + "\",");
    return true;
}

bool AddSequence(std::string& manifestText, uint64_t sequence, std::string& error) {
    if (manifestText.empty() || manifestText[0] != '{') {
        error = "the manifest text does not begin with an object";
        return false;
    }
    manifestText.insert(1, "\n  \"sequence\": " + std::to_string(sequence) + ",");
    return true;
}

bool ChooseSequence(const std::optional<uint64_t>& given, const std::string& previousText, int64_t now,
                    uint64_t& sequence, std::string& error) {
    if (given) {
        sequence = *given;
        return true;
    }
    uint64_t previous = 0;
    switch (previousText.empty() ? SequenceRead::Absent : ReadManifestSequence(previousText, previous)) {
    case SequenceRead::Malformed:
        error = "the previous manifest's \"sequence\" is not an integer from 0 to 2^53; give --sequence N";
        return false;
    case SequenceRead::Present:
        if (previous >= kMaxSequence) {
            error = "the previous manifest's sequence is already 2^53, the highest there is; sign with a new key";
            return false;
        }
        sequence = previous + 1;
        return true;
    case SequenceRead::Absent: break;
    }
    sequence = static_cast<uint64_t>(now < 0 ? 0 : now);
    return true;
}

bool SignManifestBytes(const fs::path& outDir, const std::string& keyFile, const std::string& bytes,
                       ManifestSignature& signature, std::string& error) {
    if (!SignMessage(Utf8ToPath(keyFile), bytes, signature, error) ||
        !CheckFreshSignature(Utf8ToPath(keyFile), bytes, signature, error))
        return false;
    std::vector<std::string> problems;
    CheckPublishedPatcher(outDir, "", signature.keyId, problems);
    if (!problems.empty()) {
        error = problems.front();
        for (size_t i = 1; i < problems.size(); ++i) error += "\n" + problems[i];
        return false;
    }
    return true;
}

bool SignPublishedManifest(const fs::path& outDir, const std::string& keyFile, std::string& error) {
    const fs::path manifest = outDir / "manifest.json", target = outDir / "manifest.json.sig";
    std::error_code ec;
    if (keyFile.empty()) {
        // An unsigned build must not leave the previous release's signature beside the new manifest.
        if (fs::remove(target, ec))
            std::fprintf(stderr, "qirell-manifest: removed the old %s\n", PathToUtf8(target).c_str());
        return true;
    }
    std::string bytes;
    if (!ReadWholeFile(manifest, bytes)) {
        error = PathToUtf8(manifest) + ": cannot be read";
        return false;
    }
    ManifestSignature signature;
    if (!SignManifestBytes(outDir, keyFile, bytes, signature, error) ||
        !ReplaceFile(target, outDir / "manifest.json.sig.tmp", SignatureFileText(signature), error))
        return false;
    std::fprintf(stderr, "qirell-manifest: signed with key %s -> %s\n", HexLower(signature.keyId.data(), 8).c_str(),
                 PathToUtf8(target).c_str());
    return true;
}

int RunSign(const std::vector<std::string>& args) {
    std::string dir, key;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kSignHelp, stdout);
            return 0;
        }
        if (args[i] == "--key" && i + 1 < args.size() && !args[i + 1].empty()) {
            key = args[++i];
        } else if (args[i].empty() || args[i][0] == '-' || !dir.empty()) {
            std::fputs(kSignHelp, stderr);
            return 2;
        } else {
            dir = args[i];
        }
    }
    if (dir.empty() || key.empty()) {
        std::fputs(kSignHelp, stderr);
        return 2;
    }
    std::string error;
    if (!SignPublishedManifest(Utf8ToPath(dir), key, error)) {
        Fail("sign: " + error);
        return 1;
    }
    return 0;
}

bool SigningKeyId(const std::string& keyFile, KeyId& id, std::string& error) {
    ManifestSignature probe;
    if (!SignMessage(Utf8ToPath(keyFile), std::string(), probe, error)) return false;
    id = probe.keyId;
    return true;
}

unsigned CheckPublishedSignature(const fs::path& root, const std::string& urlPrefix,
                                 const std::vector<std::string>& publicKeyFiles,
                                 const std::function<void(const std::string&)>& problem) {
    std::vector<PublicKey> keys;
    std::string error;
    for (const std::string& file : publicKeyFiles) {
        PublicKey key;
        if (!ReadPublicKeyFile(Utf8ToPath(file), key, error)) {
            problem(error);
            return 1;
        }
        keys.push_back(key);
    }
    std::string manifest, sigBytes;
    const fs::path sigFile = root / "manifest.json.sig";
    if (!ReadWholeFile(root / "manifest.json", manifest)) {
        problem("manifest.json: cannot be read");
        return 1;
    }
    if (!ReadWholeFile(sigFile, sigBytes)) {
        problem("manifest.json.sig: missing; a patcher with keys refuses the manifest");
        return 1;
    }
    ManifestSignature signature;
    if (!ParseSignatureFile(sigBytes, signature)) {
        problem("manifest.json.sig: not a signature file");
        return 1;
    }
    const std::string id = HexLower(signature.keyId.data(), signature.keyId.size());
    const PublicKey* signer = nullptr;
    for (const PublicKey& key : keys)
        if (KeyIdOf(key) == signature.keyId) signer = &key;
    if (!signer) {
        problem("manifest.json.sig: made with key " + id + ", none of the given keys");
        return 1;
    }
    if (!VerifyMessage(*signer, manifest, signature.rs)) {
        problem("manifest.json.sig: does not match manifest.json (changed after signing?)");
        return 1;
    }
    std::vector<std::string> patcherProblems;
    CheckPublishedPatcher(root, urlPrefix, signature.keyId, patcherProblems);
    for (const std::string& p : patcherProblems) problem(p);
    if (!patcherProblems.empty()) return static_cast<unsigned>(patcherProblems.size());
    int64_t expires = 0;
    switch (ReadManifestExpiry(manifest, expires)) {
        case ExpiryRead::Malformed:
            problem("manifest.json: its \"expires\" member is not a time like 2026-01-31T12:00:00Z");
            return 1;
        case ExpiryRead::Present:
            if (expires <= static_cast<int64_t>(std::time(nullptr))) {
                problem("manifest.json: expired at " + FormatUtcTime(expires) + "; sign a fresh build");
                return 1;
            }
            std::fprintf(stderr, "qirell-manifest: signature by key %s, expires %s\n", id.c_str(),
                         FormatUtcTime(expires).c_str());
            return 0;
        case ExpiryRead::Absent:
            break;
    }
    std::fprintf(stderr, "qirell-manifest: signature by key %s, no expiry\n", id.c_str());
    return 0;
}
