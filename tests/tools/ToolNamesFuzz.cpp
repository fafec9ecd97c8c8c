// Fuzz target: the tool's name rules, case folding and addresses over arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Tool.h"
#include "manifest/PathRule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::string folded = FoldCase(name);
    if (IsValidUtf8(name) && (!IsValidUtf8(folded) || FoldCase(folded) != folded)) std::abort();
    const std::string shown = Printable(name);
    if (!IsValidUtf8(shown)) std::abort();
    for (unsigned char c : shown)
        if (c < 0x20 || c == 0x7F) std::abort();
    if (!NameProblem(name).empty()) return 0;
    // A name build publishes is one the patcher takes, outside its staging folder, under an address that
    // leads back to it.
    if (!IsSafeRelativePath(name) || IsInStagingFolder(name)) std::abort();
    const std::string url = FileAddress(name, "");
    std::string local, problem;
    if (!AddressToPublished(url.empty() ? "files/" + name : url, name, "", local, problem)) std::abort();
    if (local != "files/" + name) std::abort();
    return 0;
}
