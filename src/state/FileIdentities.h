#pragma once
// Files' identities (size, write time, change time, file ID) from directory listings, without opening
// any of the files: one listing per directory, however many files of it are asked about.
#include <optional>
#include <string>
#include <vector>

#include "state/FolderState.h"

// For each path (relative to the current directory, '\' separated, '.' steps resolved) its identity,
// or nothing when the listing of its directory does not show it as a file.
std::vector<std::optional<FileIdentity>> ReadIdentities(const std::vector<std::wstring>& paths);
