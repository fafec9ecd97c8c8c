#pragma once
#include <string>

// UTF-8 to UTF-16; invalid sequences become replacement characters, nothing is rejected.
std::wstring Utf8ToWide(const std::string& utf8);
// The full path of path (GetFullPathNameW) without trailing separators, a root's kept; empty when it
// cannot be had.
std::wstring FullPath(const std::wstring& path);
// A manifest path as a path relative to the game folder: UTF-16, '/' turned into '\'.
std::wstring ToLocalPath(const std::string& utf8Path);
// Only the bytes 'A' to 'Z' change.
std::string AsciiLower(const std::string& text);
// Equality with only the letters A-Z / a-z folded, as file names are compared for the client and self-update.
bool AsciiEqualNoCase(const std::wstring& a, const std::wstring& b);
