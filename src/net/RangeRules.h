#pragma once
// Platform-free rules for body lengths, ranged requests and resumed downloads.
#include <cstdint>
#include <string>

// "bytes first-last/total"; total is kUnknownTotal for "*".
struct ContentRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
};
constexpr uint64_t kUnknownTotal = UINT64_MAX;

// Strict: one unit "bytes", decimal numbers without signs or overflow, first <= last < total.
// A last byte of UINT64_MAX is refused: nothing that large can be counted.
bool ParseContentRange(const std::string& value, ContentRange& out);

// A Content-Length value: decimal digits only, without overflow. False for anything else (absent too).
bool ParseContentLength(const std::string& value, uint64_t& out);

// The request header for bytes from first to last inclusive; last kOpenEnd asks for the rest.
constexpr uint64_t kOpenEnd = UINT64_MAX;
std::string RangeHeaderLine(uint64_t first, uint64_t last);

// True when an answer's Content-Range delivers exactly what was asked from a file of fileSize
// bytes (fileSize kUnknownTotal: any total; last kOpenEnd: up to the end of the file).
bool RangeAnswers(const ContentRange& answer, uint64_t first, uint64_t last, uint64_t fileSize);

// Resumed downloads: attempts after the first, the pause before each, and how long they may go on
// without a byte arriving.
constexpr int kResumeAttempts = 3;
constexpr uint32_t kResumeBudgetMs = 120000;
// Pause before resume attempt n (1-based): 500, 1000, 2000 ms.
uint32_t ResumePauseMs(int attempt);
