#pragma once
#include <cstdint>
#include <string>

// "%.1f MB", "%.1f KB" or "%llu B", ties to the even tenth on every runtime.
std::wstring FormatSize(uint64_t bytes);
