#pragma once
// A forward-only reader over the manifest text; builds no value tree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct JsonCursor {
    const std::string& text;
    uint32_t pos = 0;
};

// Deepest nesting of arrays and objects that SkipValue passes over; deeper is refused.
constexpr int kSkipDepthLimit = 256;

// `pos` is 32 bits wide: a longer text would wrap it, so every operation refuses one.
constexpr bool CursorCanAddress(size_t length) { return length <= UINT32_MAX; }

void SkipWhitespace(JsonCursor& c);
bool Consume(JsonCursor& c, char ch);
bool ReadString(JsonCursor& c, std::string& out);
bool ReadStringArray(JsonCursor& c, std::vector<std::string>& out);
bool ReadUnsigned64(JsonCursor& c, uint64_t& out);
bool SkipValue(JsonCursor& c);

// The members of an object whose '{' is already consumed: each name, then readValue(name) reads its
// value. True once the closing '}' is consumed; false at anything malformed or when readValue is.
template <class ReadValue>
bool ReadMembers(JsonCursor& c, ReadValue readValue) {
    if (Consume(c, '}')) return true;
    std::string name;
    for (;;) {
        if (!ReadString(c, name) || !Consume(c, ':') || !readValue(static_cast<const std::string&>(name)))
            return false;
        if (!Consume(c, ',')) return Consume(c, '}');
    }
}
