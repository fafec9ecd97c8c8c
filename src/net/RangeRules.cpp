#include "net/RangeRules.h"

namespace {

bool ReadNumber(const std::string& s, size_t& at, uint64_t& out) {
    const size_t start = at;
    out = 0;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
        const uint64_t digit = static_cast<uint64_t>(s[at] - '0');
        if (out > (UINT64_MAX - digit) / 10) return false;
        out = out * 10 + digit;
        ++at;
    }
    return at > start && at - start <= 20;
}

bool SkipSpaces(const std::string& s, size_t& at) {
    const size_t start = at;
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t')) ++at;
    return at > start;
}

bool Take(const std::string& s, size_t& at, char ch) {
    if (at >= s.size() || s[at] != ch) return false;
    ++at;
    return true;
}

}  // namespace

bool ParseContentLength(const std::string& value, uint64_t& out) {
    size_t at = 0;
    return ReadNumber(value, at, out) && at == value.size();
}

bool ParseContentRange(const std::string& value, ContentRange& out) {
    size_t at = 0;
    SkipSpaces(value, at);
    static const char kUnit[] = "bytes";
    for (const char* u = kUnit; *u; ++u) {
        if (at >= value.size() || (value[at] | 0x20) != *u) return false;
        ++at;
    }
    if (!SkipSpaces(value, at)) return false;
    ContentRange r;
    if (!ReadNumber(value, at, r.first) || !Take(value, at, '-') || !ReadNumber(value, at, r.last) ||
        !Take(value, at, '/'))
        return false;
    if (Take(value, at, '*')) {
        r.total = kUnknownTotal;
    } else if (!ReadNumber(value, at, r.total) || r.total == kUnknownTotal) {
        return false;
    }
    SkipSpaces(value, at);
    if (at != value.size() || r.first > r.last || r.last == UINT64_MAX) return false;
    if (r.total != kUnknownTotal && r.last >= r.total) return false;
    out = r;
    return true;
}

std::string RangeHeaderLine(uint64_t first, uint64_t last) {
    std::string line = "Range: bytes=" + std::to_string(first) + "-";
    if (last != kOpenEnd) line += std::to_string(last);
    return line;
}

bool RangeAnswers(const ContentRange& answer, uint64_t first, uint64_t last, uint64_t fileSize) {
    if (answer.first != first) return false;
    if (fileSize != kUnknownTotal && answer.total != kUnknownTotal && answer.total != fileSize) return false;
    if (last != kOpenEnd) return answer.last == last;
    // The rest of the file: up to its last byte, which needs a known size on one side or the other.
    const uint64_t size = fileSize != kUnknownTotal ? fileSize : answer.total;
    return size != kUnknownTotal && answer.last == size - 1;
}

uint32_t ResumePauseMs(int attempt) {
    if (attempt < 1) return 0;
    if (attempt > 3) attempt = 3;
    return 500u << (attempt - 1);
}
