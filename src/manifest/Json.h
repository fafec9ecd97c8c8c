#pragma once
// A forward-only reader over the manifest text; builds no value tree.
#include <cstdint>
#include <string>
#include <vector>

struct JsonCursor {
    const std::string& text;
    uint32_t pos = 0;
};

void SkipWhitespace(JsonCursor& c);
bool Consume(JsonCursor& c, char ch);
bool ReadString(JsonCursor& c, std::string& out);
bool ReadStringArray(JsonCursor& c, std::vector<std::string>& out);
bool ReadUnsigned64(JsonCursor& c, uint64_t& out);
bool SkipValue(JsonCursor& c);
