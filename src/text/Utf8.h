#pragma once
#include <string>

// Appends the UTF-8 form of one code point (up to U+10FFFF) to out.
void AppendUtf8(std::string& out, char32_t cp);
