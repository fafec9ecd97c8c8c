// Arbitrary bytes as a Content-Range header: what parses must be a sane span and read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/RangeRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ContentRange r;
    if (!ParseContentRange(text, r)) return 0;
    if (r.first > r.last) abort();
    if (r.total != kUnknownTotal && r.last >= r.total) abort();
    const std::string again = "bytes " + std::to_string(r.first) + "-" + std::to_string(r.last) + "/" +
                              (r.total == kUnknownTotal ? std::string("*") : std::to_string(r.total));
    ContentRange back;
    if (!ParseContentRange(again, back) || back.first != r.first || back.last != r.last || back.total != r.total)
        abort();
    if (!RangeAnswers(r, r.first, r.last, kUnknownTotal)) abort();
    return 0;
}
