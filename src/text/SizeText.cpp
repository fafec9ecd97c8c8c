#include "text/SizeText.h"

namespace {

// n / 2^shift to one decimal, ties to the even tenth, in integers so every runtime agrees.
std::wstring Tenths(uint64_t n, unsigned shift, const wchar_t* unit) {
    const uint64_t one = uint64_t(1) << shift;
    const uint64_t fraction = (n & (one - 1)) * 10;  // below 10 * 2^20, no overflow
    uint64_t tenths = (n >> shift) * 10 + (fraction >> shift);
    const uint64_t rest = fraction & (one - 1);
    if (rest * 2 > one || (rest * 2 == one && (tenths & 1))) ++tenths;
    return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" " + unit;
}

}  // namespace

std::wstring FormatSize(uint64_t bytes) {
    if (bytes >= (uint64_t(1) << 20)) return Tenths(bytes, 20, L"MB");
    if (bytes >= 1024) return Tenths(bytes, 10, L"KB");
    return std::to_wstring(bytes) + L" B";
}
