#pragma once
// Stamping a prebuilt patcher: finding its reserved block, filling it, and keeping the image consistent.
#include <array>
#include <cstddef>
#include <string>

#include "Tool.h"
#include "trust/StampBlock.h"
#include "trust/SignatureFile.h"

// The empty block an unstamped image carries: magic, layout version, everything else zero.
std::array<uint8_t, kStampBlockSize> EmptyStampBlock();
// False when the address or the keys do not fit.
bool WriteStampBlock(const StampSettings& settings, uint8_t* block, size_t size);

// Offset of the one stamp block in a Windows executable image; false with a reason otherwise
// (not an executable, no block, more than one, a layout this tool does not know).
bool LocateStampBlock(const std::string& image, size_t& offset, std::string& error);
// The same for stamping, which also refuses a signed image (stamping would break its signature).
bool FindStampBlock(const std::string& image, size_t& offset, std::string& error);
// Refreshes the PE checksum when the image carries one (0 means none, and stays 0).
void UpdatePeChecksum(std::string& image);
uint32_t PeChecksum(const std::string& image);
// Why the patcher could not use this manifest address; empty when it can.
std::string StampUrlProblem(const std::string& url);

// The patcher a release ships (ReleasePatcher.cpp): a top-level QirellPatcher.exe in any letter case.
// Players' patchers that check signatures install it only when its stamp block carries the key that
// signed the manifest it came with.
bool IsReleasePatcher(const std::string& path);
// Empty when the image in file carries the key with id signer; else why players' patchers would
// refuse it, naming it as shown.
std::string PatcherKeyProblem(const fs::path& file, const std::string& shown, const KeyId& signer);
// The same for each patcher a published folder's manifest lists (files found as verify finds them).
void CheckPublishedPatcher(const fs::path& root, const std::string& urlPrefix, const KeyId& signer,
                           std::vector<std::string>& problems);
