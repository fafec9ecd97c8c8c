#pragma once
// The optional "sequence" member of a signed manifest: an integer from 0 to 2^53 that an operator
// raises with every release. A patcher that checks signatures keeps, for each signing key, the highest
// sequence it accepted and refuses anything older.
#include <cstdint>
#include <optional>
#include <string>

constexpr uint64_t kMaxSequence = uint64_t(1) << 53;

enum class SequenceRead { Absent, Present, Malformed };
// Looks only at the root object's members. Malformed: not a plain integer in range, given twice, or a
// document the reader cannot walk.
SequenceRead ReadManifestSequence(const std::string& text, uint64_t& sequence);

enum class SequenceVerdict {
    Same,     // nothing to record: the same sequence again, or none from a key that never carried one
    Raised,   // accepted, and higher than any before from this key
    Lower,    // refused: below the highest accepted from this key
    Missing,  // refused: no sequence from a key that carried one
};
// highest: what this key's manifests carried so far; none when it never carried one.
SequenceVerdict JudgeSequence(const std::optional<uint64_t>& highest, SequenceRead read, uint64_t sequence);
