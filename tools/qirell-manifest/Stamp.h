#pragma once
// Stamping a prebuilt patcher: finding its reserved block, filling it, and keeping the image consistent.
#include <array>
#include <cstddef>
#include <string>

#include "base/StampBlock.h"

// The empty block an unstamped image carries: magic, layout version, everything else zero.
std::array<uint8_t, kStampBlockSize> EmptyStampBlock();
// False when the address or the keys do not fit.
bool WriteStampBlock(const StampSettings& settings, uint8_t* block, size_t size);

// Offset of the one stamp block in a Windows executable image; false with a reason otherwise
// (not an executable, no block, more than one, a layout this tool does not know, a signed image).
bool FindStampBlock(const std::string& image, size_t& offset, std::string& error);
// Refreshes the PE checksum when the image carries one (0 means none, and stays 0).
void UpdatePeChecksum(std::string& image);
uint32_t PeChecksum(const std::string& image);
// Why the patcher could not use this manifest address; empty when it can.
std::string StampUrlProblem(const std::string& url);
