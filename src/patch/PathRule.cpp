#include "patch/PathRule.h"

#include <string_view>

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// CON, NUL, COM1 and the like name devices in every folder, with any extension after them.
bool IsDeviceName(std::string_view component) {
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.remove_suffix(1);
    std::string lower;
    for (char c : stem) lower += Lower(c);
    if (lower == "con" || lower == "prn" || lower == "aux" || lower == "nul" || lower == "conin$" ||
        lower == "conout$")
        return true;
    return lower.size() == 4 && (lower.compare(0, 3, "com") == 0 || lower.compare(0, 3, "lpt") == 0) &&
           lower[3] >= '1' && lower[3] <= '9';
}

}  // namespace

bool IsSafeRelativePath(const std::string& path) {
    if (path.empty()) return false;
    if (path[0] == '/' || path[0] == '\\') return false;
    if (path.find(':') != std::string::npos) return false;
    if (path.find("..") != std::string::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) end = path.size();
        if (IsDeviceName(std::string_view(path).substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}
