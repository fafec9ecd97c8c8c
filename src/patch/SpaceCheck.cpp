#include "patch/SpaceCheck.h"

#include <algorithm>

namespace {

// Every sum stays within +-2^61, so adding two of them cannot overflow.
constexpr int64_t kHuge = int64_t(1) << 61;

int64_t Clamp(uint64_t v) { return v > uint64_t(kHuge) ? kHuge : static_cast<int64_t>(v); }
int64_t Add(int64_t a, int64_t b) { return std::clamp<int64_t>(a + b, -kHuge, kHuge); }

}  // namespace

uint64_t PeakExtraBytes(const std::vector<SpaceStep>& steps, unsigned window) {
    const size_t w = window < 1 ? 1 : window;
    int64_t settled = 0;  // net change of the files already swapped in
    int64_t peak = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        int64_t sides = 0;
        for (size_t k = i; k < steps.size() && k < i + w; ++k) sides = Add(sides, Clamp(steps[k].newSize));
        peak = std::max(peak, Add(settled, sides));
        const int64_t freed = steps[i].oldStays ? 0 : Clamp(steps[i].oldSize);
        settled = Add(settled, Add(Clamp(steps[i].newSize), -freed));
    }
    return static_cast<uint64_t>(peak);
}
