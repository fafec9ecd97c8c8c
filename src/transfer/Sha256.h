#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

bool HashFileSha256(const std::wstring& filePath, uint64_t& fileSize, std::string& hexDigest);
std::string HexLower(const uint8_t* bytes, size_t count);
