#pragma once
#include <string>

// The folder inside the game folder where the next release's files wait for its release day. The
// patcher owns it: no manifest entry, removal or check reaches into it.
constexpr char kStagingFolderName[] = "QirellPatcher.preload";

// Keeps every manifest path inside the game folder.
bool IsSafeRelativePath(const std::string& path);

// The path as Windows resolves it inside the game folder: '/' or '\' separated, '.' components and
// repeated separators collapsed, trailing separators dropped, trailing dots and spaces of each
// component dropped; components joined by '/'. Empty when it names the folder itself or nothing.
std::string ResolveRelativePath(const std::string& path);

// True when the path resolves to the staging folder or into it (ASCII case-insensitive).
bool IsInStagingFolder(const std::string& path);

// True for a removal entry the patcher acts on: IsSafeRelativePath, resolves to something inside
// the folder, and is neither the client's data directory nor the staging folder (or inside it) in any
// spelling (ASCII case-insensitive).
bool IsRemovableEntry(const std::string& path);
