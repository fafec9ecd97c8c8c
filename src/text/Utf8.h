#pragma once
#include <string>

// Appends the UTF-8 form of one code point (up to U+10FFFF) to out.
void AppendUtf8(std::string& out, char32_t cp);
// UTF-16 (or, where wchar_t is wider, UTF-32) to UTF-8; a lone surrogate becomes U+FFFD.
std::string WideToUtf8(const std::wstring& text);
