#include "text/Text.h"

#include <windows.h>

#include <climits>

std::wstring Utf8ToWide(const std::string& utf8) {
    if (utf8.empty() || utf8.size() > static_cast<size_t>(INT_MAX)) return {};
    const int inLen = static_cast<int>(utf8.size());
    const int len = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLen, nullptr, 0);
    if (len <= 0) return {};
    std::wstring out(static_cast<size_t>(len), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLen, out.data(), len);
    return out;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (need == 0) return {};
    std::wstring full(need, L'\0');
    const DWORD n = GetFullPathNameW(path.c_str(), need, full.data(), nullptr);
    if (n == 0 || n >= need) return {};
    full.resize(n);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    return full;
}

std::wstring ToLocalPath(const std::string& utf8Path) {
    std::wstring path = Utf8ToWide(utf8Path);
    for (wchar_t& ch : path)
        if (ch == L'/') ch = L'\\';
    return path;
}
