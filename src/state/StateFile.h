#pragma once
// A game folder's state file under the state folder (%LOCALAPPDATA%\QirellPatcher): named after the
// folder's full path and volume, written atomically (temporary file, flush, rename), so a kill at any
// moment leaves the old state or the new one.
#include <cstdint>
#include <string>

#include "state/FolderState.h"

// The state folder of this user: %LOCALAPPDATA%\QirellPatcher; empty when LOCALAPPDATA is not set.
std::wstring DefaultStateFolder();

struct FolderIdentity {
    std::string fullPath;  // UTF-8
    uint32_t volumeSerial = 0;
};
// The identity of folder (the current directory for "."); false when it cannot be had.
bool IdentifyFolder(const std::wstring& folder, FolderIdentity& out);
// stateFolder\QirellPatcher-<16 hex digits>.state, the digits from the path (letter case folded) and serial.
std::wstring StateFilePath(const std::wstring& stateFolder, const FolderIdentity& folder);

enum class StateLoad { Loaded, Missing, Damaged, OtherVersion, OtherFolder };
// Reads the state of folder from path; anything but Loaded leaves out as a fresh state of folder. With
// bytes, a Loaded state's file bytes go there.
StateLoad LoadFolderState(const std::wstring& path, const FolderIdentity& folder, FolderState& out,
                          std::string* bytesRead = nullptr);
// Writes the state in place of the old one (creating the state folder); false when it could not.
bool SaveFolderState(const std::wstring& path, const FolderState& state);
// The same with the state already encoded (EncodeState).
bool SaveStateBytes(const std::wstring& path, const std::string& bytes);
