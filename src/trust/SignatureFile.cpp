#include "trust/SignatureFile.h"

#include "digest/Sha256Core.h"
#include "text/Hex.h"

namespace {

constexpr std::string_view kHeader = "qirell-signature 1";
constexpr std::string_view kKeyLabel = "key ";
constexpr std::string_view kSignatureLabel = "ecdsa-p256-sha256 ";

// Takes one line off the front of rest; false when no line end is left.
bool NextLine(std::string_view& rest, std::string_view& line) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) return false;
    line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

template <size_t N>
bool ReadHexField(std::string_view line, std::string_view label, std::array<uint8_t, N>& out) {
    if (line.size() != label.size() + 2 * N || line.substr(0, label.size()) != label) return false;
    return HexToBytes(line.substr(label.size()), out.data(), N, true);
}

}  // namespace

KeyId KeyIdOf(const PublicKey& key) {
    uint8_t digest[32];
    Sha256Of(key.data(), key.size(), digest);
    KeyId id;
    for (size_t i = 0; i < id.size(); ++i) id[i] = digest[i];
    return id;
}

bool ParseSignatureFile(std::string_view bytes, ManifestSignature& out) {
    if (bytes.size() > kSignatureFileLimit) return false;
    std::string_view rest = bytes, header, key, signature;
    if (!NextLine(rest, header) || !NextLine(rest, key) || !NextLine(rest, signature) || !rest.empty()) return false;
    ManifestSignature read;
    if (header != kHeader || !ReadHexField(key, kKeyLabel, read.keyId) ||
        !ReadHexField(signature, kSignatureLabel, read.rs))
        return false;
    out = read;
    return true;
}

std::string SignatureFileText(const ManifestSignature& signature) {
    std::string text(kHeader);
    text += '\n';
    text += kKeyLabel;
    text += HexLower(signature.keyId.data(), signature.keyId.size());
    text += '\n';
    text += kSignatureLabel;
    text += HexLower(signature.rs.data(), signature.rs.size());
    text += '\n';
    return text;
}

std::wstring SignatureFetchUrl(const std::wstring& manifestFetchUrl) {
    const size_t query = manifestFetchUrl.find_first_of(L"?#");
    if (query == std::wstring::npos) return manifestFetchUrl + L".sig";
    return manifestFetchUrl.substr(0, query) + L".sig" + manifestFetchUrl.substr(query);
}
