#include "text/Text.h"

std::string AsciiLower(const std::string& text) {
    std::string out = text;
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return out;
}
