#include "trust/Sequence.h"

#include "manifest/Json.h"

namespace {

// JSON's own form of an integer: no sign, no leading zero, no fraction or exponent.
bool ParseSequence(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 16 || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + static_cast<uint64_t>(ch - '0');
    }
    return value <= kMaxSequence;
}

}  // namespace

SequenceRead ReadManifestSequence(const std::string& text, uint64_t& sequence) {
    if (!CursorCanAddress(text.size())) return SequenceRead::Malformed;
    JsonCursor c{text};
    SequenceRead result = SequenceRead::Absent;
    const bool read = Consume(c, '{') && ReadMembers(c, [&](const std::string& name) {
        if (name != "sequence") return SkipValue(c);
        if (result != SequenceRead::Absent) return false;  // two values: refuse rather than pick one
        SkipWhitespace(c);
        const uint32_t start = c.pos;
        if (!SkipValue(c)) return false;
        std::string raw = text.substr(start, c.pos - start);
        while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\r' || raw.back() == '\n'))
            raw.pop_back();
        if (!ParseSequence(raw, sequence)) return false;
        result = SequenceRead::Present;
        return true;
    });
    return read ? result : SequenceRead::Malformed;
}

SequenceVerdict JudgeSequence(const std::optional<uint64_t>& highest, SequenceRead read, uint64_t sequence) {
    if (read != SequenceRead::Present) return highest ? SequenceVerdict::Missing : SequenceVerdict::Same;
    if (!highest || sequence > *highest) return SequenceVerdict::Raised;
    return sequence == *highest ? SequenceVerdict::Same : SequenceVerdict::Lower;
}
