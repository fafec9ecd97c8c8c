#include "manifest/Json.h"

#include <utility>

namespace {

// A text too long for `pos` counts as already at its end, so nothing is read from it.
bool AtEnd(const JsonCursor& c) {
    return !CursorCanAddress(c.text.size()) || c.pos >= c.text.size();
}

char Peek(const JsonCursor& c) { return c.text[c.pos]; }

bool IsWhitespace(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

char Unescape(char e) {
    switch (e) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return e;  // quotation mark, backslash, slash and every unknown escape
    }
}

bool IsBareScalarByte(char ch) {
    const auto b = static_cast<unsigned char>(ch);
    return b >= 0x21 && b <= 0x7F && ch != ',' && ch != '}' && ch != ']';
}

bool SkipNested(JsonCursor& c, int depth);

bool SkipObject(JsonCursor& c, int depth) {
    ++c.pos;
    return ReadMembers(c, [&](const std::string&) { return SkipNested(c, depth); });
}

bool SkipArray(JsonCursor& c, int depth) {
    ++c.pos;
    if (Consume(c, ']')) return true;
    for (;;) {
        if (!SkipNested(c, depth)) return false;
        if (!Consume(c, ',')) return Consume(c, ']');
    }
}

// `depth` counts the arrays and objects already open around the value at `pos`.
bool SkipNested(JsonCursor& c, int depth) {
    SkipWhitespace(c);
    if (AtEnd(c)) return false;
    const char first = Peek(c);
    if (first == '"') {
        std::string scratch;
        return ReadString(c, scratch);
    }
    if (first == '{' || first == '[') {
        if (depth >= kSkipDepthLimit) return false;
        return first == '{' ? SkipObject(c, depth + 1) : SkipArray(c, depth + 1);
    }
    while (!AtEnd(c) && IsBareScalarByte(Peek(c))) ++c.pos;
    return true;
}

}  // namespace

void SkipWhitespace(JsonCursor& c) {
    while (!AtEnd(c) && IsWhitespace(Peek(c))) ++c.pos;
}

bool Consume(JsonCursor& c, char ch) {
    SkipWhitespace(c);
    if (AtEnd(c) || Peek(c) != ch) return false;
    ++c.pos;
    return true;
}

bool ReadString(JsonCursor& c, std::string& out) {
    SkipWhitespace(c);
    if (AtEnd(c) || Peek(c) != '"') return false;
    ++c.pos;
    out.clear();
    for (;;) {
        if (AtEnd(c)) return false;
        const char b = Peek(c);
        ++c.pos;
        if (b == '"') return true;
        if (b == '\\' && !AtEnd(c)) {
            out.push_back(Unescape(Peek(c)));
            ++c.pos;
        } else {
            out.push_back(b);
        }
    }
}

bool ReadStringArray(JsonCursor& c, std::vector<std::string>& out) {
    if (!Consume(c, '[')) return false;
    if (Consume(c, ']')) return true;
    for (;;) {
        std::string element;
        if (!ReadString(c, element)) return false;
        out.push_back(std::move(element));
        if (!Consume(c, ',')) return Consume(c, ']');
    }
}

bool ReadUnsigned64(JsonCursor& c, uint64_t& out) {
    SkipWhitespace(c);
    if (AtEnd(c) || !IsDigit(Peek(c))) return false;
    out = 0;
    while (!AtEnd(c) && IsDigit(Peek(c))) {
        out = out * 10 + static_cast<uint64_t>(Peek(c) - '0');  // wraps modulo 2^64 by design
        ++c.pos;
    }
    return true;
}

bool SkipValue(JsonCursor& c) { return SkipNested(c, 0); }
