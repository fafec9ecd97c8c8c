// Private keys in release files: the markers of the usual key file forms, looked for in the bytes
// as build and verify stream them.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "Tool.h"

namespace {

// Longer than any marker below with what is checked around it; a marker cut by a piece boundary is
// found whole in the carried tail and the next piece.
constexpr size_t kCarry = 128;

bool Contains(std::string_view text, const char* marker, size_t size) {
    return text.find(std::string_view(marker, size)) != std::string_view::npos;
}

// "-----BEGIN <LABEL>PRIVATE KEY-----" or "... PRIVATE KEY BLOCK-----", with LABEL of capitals,
// digits and spaces ("", "RSA ", "EC ", "ENCRYPTED ", "OPENSSH ", "PGP "...): what kind, or empty.
std::string PemKind(std::string_view text) {
    static constexpr std::string_view begin = "-----BEGIN ", key = "PRIVATE KEY";
    for (size_t at = text.find(begin); at != std::string_view::npos; at = text.find(begin, at + 1)) {
        size_t p = at + begin.size();
        const size_t labelAt = p;
        while (p < text.size() && p - labelAt <= 40 &&
               ((text[p] >= 'A' && text[p] <= 'Z') || (text[p] >= '0' && text[p] <= '9') || text[p] == ' ') &&
               text.compare(p, key.size(), key) != 0)
            ++p;
        if (text.compare(p, key.size(), key) != 0) continue;
        const size_t after = p + key.size();
        if (text.compare(after, 5, "-----") != 0 && text.compare(after, 11, " BLOCK-----") != 0) continue;
        const std::string label(text.substr(labelAt, p - labelAt));
        if (label.empty() || label == "ENCRYPTED ") return "a PKCS#8 private key (PEM)";
        if (label == "OPENSSH ") return "an OpenSSH private key";
        if (label == "PGP ") return "a PGP private key";
        return "a PEM private key (" + label + "PRIVATE KEY)";
    }
    return {};
}

// Length of a DER header (tag and length) at p with tag 0x30, or 0.
size_t SequenceHeader(const uint8_t* p, size_t size) {
    if (size < 2 || p[0] != 0x30) return 0;
    if (p[1] < 0x80) return 2;
    if (p[1] == 0x81) return 3;
    if (p[1] == 0x82) return 4;
    return 0;
}

// A file that begins as a DER private key: PKCS#8 (plain or encrypted), or the older RSA and EC forms.
std::string DerKind(const std::string& start) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(start.data());
    const size_t size = start.size();
    const size_t h = SequenceHeader(p, size);
    if (h == 0 || size < h + 16) return {};
    const uint8_t* in = p + h;
    // PrivateKeyInfo: INTEGER 0 or 1, then the AlgorithmIdentifier SEQUENCE starting with an OID.
    if (in[0] == 0x02 && in[1] == 0x01 && in[2] <= 1) {
        const size_t a = SequenceHeader(in + 3, size - h - 3);
        if (a != 0 && in[3 + a] == 0x06) return "a PKCS#8 private key (DER)";
        if (in[2] == 0 && in[3] == 0x02) return "an RSA private key (DER)";
        if (in[2] == 1 && in[3] == 0x04) return "an EC private key (DER)";
        return {};
    }
    // EncryptedPrivateKeyInfo: the AlgorithmIdentifier of a PKCS#5 or PKCS#12 password scheme.
    static const uint8_t pkcs5[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x05};
    static const uint8_t pkcs12[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x0c, 0x01};
    const size_t a = SequenceHeader(in, size - h);
    if (a == 0 || in[a] != 0x06 || size < h + a + 2 + sizeof pkcs12) return {};
    const uint8_t* oid = in + a + 2;
    if (std::memcmp(oid, pkcs5, sizeof pkcs5) == 0 || std::memcmp(oid, pkcs12, sizeof pkcs12) == 0)
        return "an encrypted PKCS#8 private key (DER)";
    return {};
}

// The markers that can appear in one stretch of bytes.
std::string TextKind(std::string_view text) {
    static const char openssh[] = "openssh-key-v1\0";
    static const char putty[] = "PuTTY-User-Key-File-";
    std::string kind = PemKind(text);
    if (kind.empty() && Contains(text, openssh, sizeof openssh - 1)) kind = "an OpenSSH private key";
    if (kind.empty() && Contains(text, putty, sizeof putty - 1)) kind = "a PuTTY private key";
    return kind;
}

}  // namespace

void ScanForPrivateKey(PrivateKeyScan& scan, const char* data, size_t size) {
    if (!scan.found.empty()) return;
    // Markers across the seam with the previous piece, then inside this one.
    std::string seam = scan.carry;
    seam.append(data, std::min(size, kCarry));
    if (scan.seen < 64 && seam.size() >= 64) scan.found = DerKind(seam.substr(0, 64));
    scan.seen += size;
    if (scan.found.empty()) scan.found = TextKind(seam);
    if (scan.found.empty()) scan.found = TextKind(std::string_view(data, size));
    if (size >= kCarry) scan.carry.assign(data + size - kCarry, kCarry);
    else scan.carry = seam.substr(seam.size() > kCarry ? seam.size() - kCarry : 0);
}

void FinishPrivateKeyScan(PrivateKeyScan& scan) {
    // A file shorter than the DER check's window is looked at once whole.
    if (scan.found.empty() && scan.seen < 64) scan.found = DerKind(scan.carry);
}
