// The most extra space the download stage needs at once; platform-free, also built natively.
#include <gtest/gtest.h>

#include "patch/SpaceCheck.h"

TEST(SpaceCheck, PeakOfSideFilesBesideTheirTargets) {
    constexpr uint64_t M = 1 << 20;
    constexpr uint64_t kMax = UINT64_MAX;
    const struct Case {
        const char* what;
        std::vector<SpaceStep> steps;
        unsigned window;
        uint64_t peak;
    } cases[] = {
        {"nothing", {}, 1, 0},
        {"a new file", {{5 * M, 0}}, 1, 5 * M},
        {"a replaced file still needs its side file", {{5 * M, 5 * M}}, 1, 5 * M},
        // The small one first, then the big side file beside everything so far.
        {"the full-disk test's list", {{4, 0}, {12 * M, 1 * M}}, 1, 12 * M + 4},
        {"shrinking files free room for later ones", {{1 * M, 9 * M}, {9 * M, 0}}, 1, 1 * M},
        {"growth adds up", {{3 * M, 1 * M}, {3 * M, 1 * M}, {1 * M, 0}}, 1, 5 * M},
        {"the executable's old build stays", {{2 * M, 2 * M, true}, {1 * M, 1 * M}}, 1, 3 * M},
        {"side files at once", {{1 * M, 1 * M}, {2 * M, 2 * M}, {3 * M, 3 * M}}, 2, 5 * M},
        {"window past the end", {{1 * M, 0}, {2 * M, 0}}, 8, 3 * M},
        {"window 0 counts as 1", {{1 * M, 0}, {2 * M, 0}}, 0, 3 * M},
        {"sizes beyond any disk saturate", {{kMax, 0}, {kMax, 0}, {kMax, 0}}, 3, uint64_t(1) << 61},
        {"and never wrap below zero", {{0, kMax}, {0, kMax}, {7, 0}}, 1, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(PeakExtraBytes(c.steps, c.window), c.peak) << c.what;
}
