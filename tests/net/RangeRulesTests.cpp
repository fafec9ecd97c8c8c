// Content-Range parsing and the checks a ranged answer must pass; platform-free, also built natively.
#include <gtest/gtest.h>

#include "net/RangeRules.h"

TEST(ContentRangeText, ParsesOnlyWellFormedByteRanges) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t first, last, total;
    } cases[] = {
        {"bytes 0-99/100", true, 0, 99, 100},
        {"bytes 100-199/*", true, 100, 199, kUnknownTotal},
        {"  BYTES  5-5/6 ", true, 5, 5, 6},
        {"bytes 18446744073709551614-18446744073709551614/*", true, UINT64_MAX - 1, UINT64_MAX - 1, kUnknownTotal},
        {"", false, 0, 0, 0},
        {"bytes", false, 0, 0, 0},
        {"bytes=0-9/10", false, 0, 0, 0},
        {"bytes 0-9", false, 0, 0, 0},
        {"bytes 9-0/10", false, 0, 0, 0},
        {"bytes 0-10/10", false, 0, 0, 0},
        {"bytes -1-9/10", false, 0, 0, 0},
        {"bytes 0-9/10x", false, 0, 0, 0},
        {"bytes */10", false, 0, 0, 0},
        {"bytes 0-9/18446744073709551616", false, 0, 0, 0},
        {"bytes 0-9/18446744073709551615", false, 0, 0, 0},
        {"items 0-9/10", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        ContentRange r;
        r.first = 77;
        EXPECT_EQ(ParseContentRange(c.text, r), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(r.first, c.first) << c.text;
            EXPECT_EQ(r.last, c.last) << c.text;
            EXPECT_EQ(r.total, c.total) << c.text;
        } else {
            EXPECT_EQ(r.first, 77u) << c.text;  // untouched on failure
        }
    }
}

TEST(ContentLengthText, OnlyPlainDecimalCounts) {
    const struct {
        const char* text;
        bool ok;
        uint64_t value;
    } cases[] = {{"0", true, 0},          {"1234", true, 1234}, {"18446744073709551615", true, UINT64_MAX},
                 {"", false, 0},          {" 12", false, 0},    {"12 ", false, 0},
                 {"-1", false, 0},        {"1e3", false, 0},    {"18446744073709551616", false, 0}};
    for (const auto& c : cases) {
        uint64_t v = 99;
        EXPECT_EQ(ParseContentLength(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ContentRangeText, AnAnswerMustStartWhereAskedAndCoverTheSpan) {
    struct Case {
        ContentRange answer;
        uint64_t first, last, fileSize;
        bool ok;
    } cases[] = {
        {{100, 999, 1000}, 100, kOpenEnd, 1000, true},
        {{100, 999, kUnknownTotal}, 100, kOpenEnd, 1000, true},
        {{101, 999, 1000}, 100, kOpenEnd, 1000, false},  // starts later than asked
        {{99, 999, 1000}, 100, kOpenEnd, 1000, false},
        {{100, 998, 1000}, 100, kOpenEnd, 1000, false},  // stops short of the end
        {{100, 1999, 2000}, 100, kOpenEnd, 1000, false},  // another file's size
        {{100, 999, kUnknownTotal}, 100, kOpenEnd, kUnknownTotal, false},  // the end cannot be known
        {{10, 19, 1000}, 10, 19, kUnknownTotal, true},
        {{10, 29, 1000}, 10, 19, kUnknownTotal, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RangeAnswers(c.answer, c.first, c.last, c.fileSize), c.ok)
            << c.answer.first << "-" << c.answer.last << "/" << c.answer.total << " for " << c.first;
}

TEST(ContentRangeText, HeaderLinesAndPauses) {
    EXPECT_EQ(RangeHeaderLine(0, 99), "Range: bytes=0-99");
    EXPECT_EQ(RangeHeaderLine(12345, kOpenEnd), "Range: bytes=12345-");
    EXPECT_EQ(ResumePauseMs(1), 500u);
    EXPECT_EQ(ResumePauseMs(2), 1000u);
    EXPECT_EQ(ResumePauseMs(3), 2000u);
    EXPECT_LE(ResumePauseMs(1) + ResumePauseMs(2) + ResumePauseMs(3), kResumeBudgetMs);
}
