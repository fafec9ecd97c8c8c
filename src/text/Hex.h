#pragma once
// Bytes as hexadecimal text and back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// 0 to 15 for a hexadecimal digit of either case; -1 for any other character.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// count bytes from the first 2 * count digits of text (which holds at least that many); false at a
// character that is no digit, or no lower-case one when lowerOnly. Usable at compile time.
constexpr bool HexToBytes(std::string_view text, uint8_t* out, size_t count, bool lowerOnly = false) {
    for (size_t i = 0; i < 2 * count; ++i) {
        const char c = text[i];
        const int v = lowerOnly && c >= 'A' && c <= 'F' ? -1 : HexDigitValue(c);
        if (v < 0) return false;
        out[i / 2] = static_cast<uint8_t>(i % 2 ? (out[i / 2] | v) : v << 4);
    }
    return true;
}

// Two lower-case digits a byte.
std::string HexLower(const uint8_t* bytes, size_t count);
