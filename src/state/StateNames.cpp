#include "state/StateNames.h"

#include <cstring>

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const char* a, size_t n, const char* b) {
    if (std::strlen(b) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool StartsNoCase(const char* a, size_t n, const char* prefix) {
    const size_t p = std::strlen(prefix);
    return n >= p && EqualNoCase(a, p, prefix);
}

bool EndsNoCase(const char* a, size_t n, const char* suffix) {
    const size_t s = std::strlen(suffix);
    return n >= s && EqualNoCase(a + n - s, s, suffix);
}

}  // namespace

bool IsPatcherStateName(const char* name, size_t n) {
    if (EqualNoCase(name, n, kLogFileName) || EqualNoCase(name, n, kOldLogFileName)) return true;
    if (EndsNoCase(name, n, kStateTempSuffix)) n -= std::strlen(kStateTempSuffix);
    // Any middle part: a name that only looks like a state file is refused as well.
    return StartsNoCase(name, n, kStatePrefix) && EndsNoCase(name, n, kStateSuffix) &&
           n >= std::strlen(kStatePrefix) + std::strlen(kStateSuffix);
}
