// Arbitrary bytes through the removal rule, judged by a model of how Windows resolves a path that is
// written apart from the rule: whatever IsRemovableEntry accepts must name something strictly inside
// the game folder, never the folder itself and never its data directory, in any spelling or case.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "manifest/PathRule.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

struct Resolved {
    bool leavesFolder = false;
    std::vector<std::string> names;
};

// Windows: the text ends at NUL; a leading separator or any ':' points outside the folder (root,
// drive, stream); either separator splits; every name loses its trailing dots and spaces; what is left
// empty is the directory it stands in; a name of dots and spaces with two dots in it may be the parent.
Resolved ModelWindows(const std::string& raw) {
    Resolved r;
    const std::string text(raw.c_str());
    if (!text.empty() && (text[0] == '/' || text[0] == '\\')) r.leavesFolder = true;
    if (text.find(':') != std::string::npos) r.leavesFolder = true;
    std::string name;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '/';
        if (c != '/' && c != '\\') {
            name.push_back(c);
            continue;
        }
        const size_t last = name.find_last_not_of(". ");
        if (last == std::string::npos) {
            if (name.find("..") != std::string::npos) {
                if (r.names.empty()) r.leavesFolder = true;
                else r.names.pop_back();
            }
        } else {
            r.names.push_back(name.substr(0, last + 1));
        }
        name.clear();
    }
    return r;
}

bool IsDataName(const std::string& name) {
    if (name.size() != 4) return false;
    const char* want = "data";
    for (size_t i = 0; i < 4; ++i)
        if ((name[i] | 0x20) != want[i]) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    const std::string resolved = ResolveRelativePath(path);
    if (!IsRemovableEntry(path)) return 0;
    const Resolved model = ModelWindows(path);
    Check(!model.leavesFolder);
    Check(!model.names.empty());
    Check(!(model.names.size() == 1 && IsDataName(model.names[0])));
    // The rule's own resolution agrees with the model on every path it lets through.
    std::string joined;
    for (const std::string& n : model.names) joined += (joined.empty() ? "" : "/") + n;
    Check(resolved == joined);
    return 0;
}
