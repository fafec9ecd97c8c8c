// Arbitrary option files through the in-place repair: the length may only grow by the one byte of the
// display-mode repair, and apart from the repaired values no byte may change.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/OptionFile.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

const std::string kModeZero = "OptionInfoList[\"MODECNT\"] = 0";
const std::string kModeEleven = "OptionInfoList[\"MODECNT\"] = 11";

// Byte positions that differ between two texts of equal length.
size_t Differences(const std::string& a, const std::string& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (bool markerExists : {false, true}) {
        std::string out = input;
        const bool changed = RepairOptionText(out, markerExists);
        Check(changed == (out != input));
        if (out.size() == input.size()) {
            // At most "16" -> "32" (two bytes) and the name-display value (one byte).
            Check(Differences(input, out) <= 3);
            continue;
        }
        Check(out.size() == input.size() + 1);
        // Some "= 11" line of the output must be the repaired "= 0" line of the input.
        bool explained = false;
        for (size_t at = out.find(kModeEleven); at != std::string::npos && !explained;
             at = out.find(kModeEleven, at + 1)) {
            std::string back = out;
            back.replace(at, kModeEleven.size(), kModeZero);
            explained = back.size() == input.size() && Differences(input, back) <= 3;
        }
        Check(explained);
    }
    return 0;
}
