// Arbitrary bytes through the state reader: whatever it reads must write back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "state/FolderState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    FolderState state;
    if (DecodeState(bytes, state) == StateRead::Read && EncodeState(state) != bytes) abort();
    return 0;
}
