#include "trust/SignatureFile.h"

#include "digest/Sha256Core.h"

namespace {

constexpr std::string_view kHeader = "qirell-signature 1";
constexpr std::string_view kKeyLabel = "key ";
constexpr std::string_view kSignatureLabel = "ecdsa-p256-sha256 ";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

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
    line.remove_prefix(label.size());
    for (size_t i = 0; i < N; ++i) {
        const int hi = HexDigit(line[2 * i]), lo = HexDigit(line[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

template <size_t N>
void AppendHex(std::string& out, const std::array<uint8_t, N>& bytes) {
    static const char digits[] = "0123456789abcdef";
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
}

}  // namespace

KeyId KeyIdOf(const PublicKey& key) {
    Sha256State state;
    Sha256Init(state);
    Sha256Update(state, key.data(), key.size());
    uint8_t digest[32];
    Sha256Final(state, digest);
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
    AppendHex(text, signature.keyId);
    text += '\n';
    text += kSignatureLabel;
    AppendHex(text, signature.rs);
    text += '\n';
    return text;
}

std::wstring SignatureFetchUrl(const std::wstring& manifestFetchUrl) {
    const size_t query = manifestFetchUrl.find_first_of(L"?#");
    if (query == std::wstring::npos) return manifestFetchUrl + L".sig";
    return manifestFetchUrl.substr(0, query) + L".sig" + manifestFetchUrl.substr(query);
}
