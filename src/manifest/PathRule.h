#pragma once
#include <string>

// Keeps every manifest path inside the game folder.
bool IsSafeRelativePath(const std::string& path);

// The path as Windows resolves it inside the game folder: '/' or '\' separated, '.' components and
// repeated separators collapsed, trailing separators dropped, trailing dots and spaces of each
// component dropped; components joined by '/'. Empty when it names the folder itself or nothing.
std::string ResolveRelativePath(const std::string& path);

// True for a removal entry the patcher acts on: IsSafeRelativePath, resolves to something inside
// the folder, and is not the client's data directory in any spelling (ASCII case-insensitive).
bool IsRemovableEntry(const std::string& path);
