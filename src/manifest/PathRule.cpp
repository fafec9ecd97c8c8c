#include "manifest/PathRule.h"

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

std::string ResolveRelativePath(const std::string& path) {
    // A wide path ends at its first NUL for every Win32 call.
    const std::string_view text = std::string_view(path).substr(0, path.find('\0'));
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view part = text.substr(start, end - start);
        start = end + 1;
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        if (part == "..") {
            // A parent step above the folder names nothing inside it.
            if (out.empty()) return {};
            const size_t slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
            continue;
        }
        // Windows strips trailing dots and spaces, so ". ", "..." and "" all name the folder they are in.
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
        if (part.empty()) continue;
        if (!out.empty()) out += '/';
        out.append(part);
    }
    return out;
}

bool IsInStagingFolder(const std::string& path) {
    const std::string resolved = ResolveRelativePath(path);
    const std::string first = resolved.substr(0, resolved.find('/'));
    const std::string_view staging = kStagingFolderName;
    if (first.size() != staging.size()) return false;
    for (size_t i = 0; i < first.size(); ++i)
        if (Lower(first[i]) != Lower(staging[i])) return false;
    return true;
}

bool IsRemovableEntry(const std::string& path) {
    if (!IsSafeRelativePath(path) || path.find('\0') != std::string::npos) return false;
    const std::string resolved = ResolveRelativePath(path);
    if (resolved.empty() || IsInStagingFolder(resolved)) return false;
    // The client's data directory is never removed, whatever the case of its letters.
    std::string lower;
    for (char c : resolved) lower += Lower(c);
    return lower != "data";
}
