#include "trust/PatcherTrust.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/Handle.h"

namespace {

struct MappedViewTraits {
    using Type = const void*;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type view) noexcept { UnmapViewOfFile(view); }
};
using UniqueView = Unique<MappedViewTraits>;

}  // namespace

bool NewPatcherKeepsTrust(const std::wstring& sideFile, const std::optional<PublicKey>& signer) {
    if (!signer) return true;
    UniqueFile file(CreateFileW(sideFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) return false;
    UniqueHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) return false;
    std::vector<PublicKey> keys;
    if (!ReadImageKeys(static_cast<const uint8_t*>(view.get()), static_cast<size_t>(size.QuadPart), keys)) return false;
    return std::find(keys.begin(), keys.end(), *signer) != keys.end();
}
