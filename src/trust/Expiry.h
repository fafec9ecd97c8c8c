#pragma once
// The optional "expires" member of a signed manifest: a UTC time "YYYY-MM-DDTHH:MM:SSZ" after which
// a patcher that checks signatures refuses the manifest.
#include <cstdint>
#include <string>
#include <string_view>

enum class ExpiryRead { Absent, Present, Malformed };

// Looks only at the root object's members; a document the reader cannot walk is Malformed.
ExpiryRead ReadManifestExpiry(const std::string& text, int64_t& unixSeconds);
bool ParseUtcTime(std::string_view text, int64_t& unixSeconds);
std::string FormatUtcTime(int64_t unixSeconds);
