#pragma once
#include <string>

// Keeps every manifest path inside the game folder.
bool IsSafeRelativePath(const std::string& path);
