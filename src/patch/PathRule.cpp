#include "patch/PathRule.h"

bool IsSafeRelativePath(const std::string& path) {
    if (path.empty()) return false;
    if (path[0] == '/' || path[0] == '\\') return false;
    if (path.find(':') != std::string::npos) return false;
    if (path.find("..") != std::string::npos) return false;
    return true;
}
