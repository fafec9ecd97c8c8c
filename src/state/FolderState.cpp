#include "state/FolderState.h"

#include <cstring>

#include "digest/Sha256Core.h"
#include "text/Hex.h"

namespace {

constexpr char kMagic[8] = {'Q', 'P', 'S', 'T', 'A', 'T', 'E', '\0'};
constexpr size_t kHeaderBytes = 8 + 4 + 4 + 8;
constexpr size_t kDigestBytes = 32;
// The fewest bytes each record can take, so a count can be checked against what is left.
constexpr size_t kLeastCounter = 8 + 8;
constexpr size_t kLeastFile = 4 + 8 + 8 + 8 + 16 + 32;
constexpr size_t kLeastPartial = 4 + 8 + 32 + 4;

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void PutU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void PutBytes(std::string& out, const uint8_t* bytes, size_t n) { out.append(reinterpret_cast<const char*>(bytes), n); }

void PutText(std::string& out, const std::string& text) {
    PutU32(out, static_cast<uint32_t>(text.size()));
    out += text;
}

struct Reader {
    std::string_view bytes;
    size_t at = 0;
    bool ok = true;

    size_t Left() const { return bytes.size() - at; }
    bool Take(void* out, size_t n) {
        if (!ok || Left() < n) return ok = false;
        std::memcpy(out, bytes.data() + at, n);
        at += n;
        return true;
    }
    uint64_t U(int width) {
        uint8_t b[8] = {};
        if (!Take(b, width)) return 0;
        uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = (v << 8) | b[i];
        return v;
    }
    bool Text(std::string& out, size_t limit) {
        const uint64_t n = U(4);
        if (!ok || n > limit || n > Left()) return ok = false;
        out.assign(bytes.data() + at, n);
        at += n;
        return true;
    }
    // A record count that the bytes left could hold.
    bool Count(size_t least, size_t& n) {
        const uint64_t c = U(4);
        if (!ok || c > Left() / least) return ok = false;
        n = static_cast<size_t>(c);
        return true;
    }
};

void PutIdentity(std::string& out, const FileIdentity& id) {
    PutU64(out, id.size);
    PutU64(out, static_cast<uint64_t>(id.lastWrite));
    PutU64(out, static_cast<uint64_t>(id.changed));
    PutBytes(out, id.id.data(), id.id.size());
}

void ReadIdentity(Reader& r, FileIdentity& id) {
    id.size = r.U(8);
    id.lastWrite = static_cast<int64_t>(r.U(8));
    id.changed = static_cast<int64_t>(r.U(8));
    r.Take(id.id.data(), id.id.size());
}

bool ReadPayload(Reader& r, FolderState& s) {
    r.Text(s.folder, kMaxStatePathBytes);
    s.volumeSerial = static_cast<uint32_t>(r.U(4));
    s.lastFullCheck = static_cast<int64_t>(r.U(8));
    size_t n = 0;
    if (!r.Count(kLeastCounter, n) || n > kMaxKeyCounters) return false;
    s.counters.resize(n);
    for (KeyCounter& k : s.counters) {
        r.Take(k.keyId.data(), k.keyId.size());
        k.sequence = r.U(8);
    }
    if (!r.Count(kLeastFile, n)) return false;
    s.files.resize(n);
    for (FileRecord& f : s.files) {
        r.Text(f.path, kMaxStatePathBytes);
        ReadIdentity(r, f.identity);
        r.Take(f.sha256.data(), f.sha256.size());
        if (!r.ok) return false;
    }
    if (!r.Count(kLeastPartial, n)) return false;
    s.partials.resize(n);
    for (PartialRecord& p : s.partials) {
        r.Text(p.path, kMaxStatePathBytes);
        p.size = r.U(8);
        r.Take(p.sha256.data(), p.sha256.size());
        r.Text(p.validator, kMaxValidatorBytes);
        if (!r.ok) return false;
    }
    return r.ok && r.Left() == 0;
}

}  // namespace

std::string EncodeState(const FolderState& s) {
    std::string payload;
    PutText(payload, s.folder);
    PutU32(payload, s.volumeSerial);
    PutU64(payload, static_cast<uint64_t>(s.lastFullCheck));
    PutU32(payload, static_cast<uint32_t>(s.counters.size()));
    for (const KeyCounter& k : s.counters) {
        PutBytes(payload, k.keyId.data(), k.keyId.size());
        PutU64(payload, k.sequence);
    }
    PutU32(payload, static_cast<uint32_t>(s.files.size()));
    for (const FileRecord& f : s.files) {
        PutText(payload, f.path);
        PutIdentity(payload, f.identity);
        PutBytes(payload, f.sha256.data(), f.sha256.size());
    }
    PutU32(payload, static_cast<uint32_t>(s.partials.size()));
    for (const PartialRecord& p : s.partials) {
        PutText(payload, p.path);
        PutU64(payload, p.size);
        PutBytes(payload, p.sha256.data(), p.sha256.size());
        PutText(payload, p.validator);
    }
    std::string out(kMagic, sizeof kMagic);
    PutU32(out, kStateVersion);
    PutU32(out, 0);
    PutU64(out, payload.size());
    out += payload;
    uint8_t digest[kDigestBytes];
    Sha256Of(out.data(), out.size(), digest);
    PutBytes(out, digest, sizeof digest);
    return out;
}

StateRead DecodeState(std::string_view bytes, FolderState& out) {
    if (bytes.size() < kHeaderBytes + kDigestBytes || bytes.size() > kMaxStateBytes ||
        std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return StateRead::Damaged;
    Reader header{bytes.substr(sizeof kMagic, 16)};
    const uint64_t version = header.U(4);
    header.U(4);
    const uint64_t length = header.U(8);
    if (length != bytes.size() - kHeaderBytes - kDigestBytes) return StateRead::Damaged;
    uint8_t digest[kDigestBytes];
    Sha256Of(bytes.data(), bytes.size() - kDigestBytes, digest);
    if (std::memcmp(digest, bytes.data() + bytes.size() - kDigestBytes, kDigestBytes) != 0) return StateRead::Damaged;
    // Whole and as it was written, but by another version of the patcher: its layout is not this one.
    if (version != kStateVersion) return StateRead::OtherVersion;
    Reader r{bytes.substr(kHeaderBytes, length)};
    FolderState state;
    if (!ReadPayload(r, state)) return StateRead::Damaged;
    out = std::move(state);
    return StateRead::Read;
}

bool DigestBytes(const std::string& hex, std::array<uint8_t, 32>& out) {
    return hex.size() == 64 && HexToBytes(hex, out.data(), out.size());
}
