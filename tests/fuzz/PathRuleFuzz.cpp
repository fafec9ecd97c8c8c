// Arbitrary bytes through the path rule: whatever it accepts must stay inside the game folder once
// separators are turned into backslashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "patch/PathRule.h"

namespace {

std::string LocalForm(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

void Check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    if (!IsSafeRelativePath(path)) return 0;
    const std::string local = LocalForm(path);
    Check(!local.empty());
    Check(local[0] != '\\');
    Check(local.find(':') == std::string::npos);
    // No component may name the parent folder, also after Windows drops trailing dots and spaces.
    size_t start = 0;
    while (start <= local.size()) {
        size_t end = local.find('\\', start);
        if (end == std::string::npos) end = local.size();
        std::string part = local.substr(start, end - start);
        Check(part != "..");
        while (!part.empty() && part.back() == ' ') part.pop_back();
        Check(part.find("..") == std::string::npos);
        start = end + 1;
    }
    return 0;
}
