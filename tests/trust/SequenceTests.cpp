// A signed manifest's "sequence": read only in its one plain form, and judged against the highest one
// its key carried before.
#include <gtest/gtest.h>

#include <string>

#include "trust/Sequence.h"

TEST(Sequence, ReadOnlyAsAPlainIntegerFromZeroTo2Pow53) {
    struct Case {
        std::string members;
        SequenceRead read;
        uint64_t value;
    } cases[] = {
        {R"("version": "1")", SequenceRead::Absent, 0},
        {R"("sequence": 0)", SequenceRead::Present, 0},
        {R"("sequence": 17, "files": [])", SequenceRead::Present, 17},
        {R"("sequence" : 9007199254740992 )", SequenceRead::Present, 9007199254740992ull},
        {R"("sequence": 9007199254740993)", SequenceRead::Malformed, 0},
        {R"("sequence": 18446744073709551617)", SequenceRead::Malformed, 0},
        {R"("sequence": -1)", SequenceRead::Malformed, 0},
        {R"("sequence": 1.0)", SequenceRead::Malformed, 0},
        {R"("sequence": 1e3)", SequenceRead::Malformed, 0},
        {R"("sequence": 012)", SequenceRead::Malformed, 0},
        {R"("sequence": "12")", SequenceRead::Malformed, 0},
        {R"("sequence": null)", SequenceRead::Malformed, 0},
        {R"("sequence": 3, "sequence": 3)", SequenceRead::Malformed, 0},
        {R"("inner": {"sequence": 5})", SequenceRead::Absent, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(ReadManifestSequence("{" + c.members + "}", value), c.read) << c.members;
        if (c.read == SequenceRead::Present) {
            EXPECT_EQ(value, c.value) << c.members;
        }
    }
    uint64_t value = 0;
    EXPECT_EQ(ReadManifestSequence("{\"sequence\": 3", value), SequenceRead::Malformed);
}

TEST(Sequence, LowerOrMissingAfterOneIsRefusedTheSameOrHigherAccepted) {
    const std::optional<uint64_t> none;
    struct Case {
        std::optional<uint64_t> highest;
        SequenceRead read;
        uint64_t sequence;
        SequenceVerdict verdict;
    } cases[] = {
        {none, SequenceRead::Absent, 0, SequenceVerdict::Same},
        {none, SequenceRead::Present, 0, SequenceVerdict::Raised},
        {5, SequenceRead::Present, 6, SequenceVerdict::Raised},
        {5, SequenceRead::Present, 5, SequenceVerdict::Same},
        {5, SequenceRead::Present, 4, SequenceVerdict::Lower},
        {0, SequenceRead::Absent, 0, SequenceVerdict::Missing},
        {5, SequenceRead::Absent, 0, SequenceVerdict::Missing},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JudgeSequence(c.highest, c.read, c.sequence), c.verdict)
            << (c.highest ? std::to_string(*c.highest) : "none") << " then " << c.sequence;
}
