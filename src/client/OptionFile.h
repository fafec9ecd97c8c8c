#pragma once
#include <string>

// Creates the client's option file with its defaults, or repairs it in place.
void FixOptionFile();

// The pure parts, for tests and fuzzing.
const std::string& DefaultOptionFile();
// Applies the repairs to content; markerExists decides the one-time repair. Returns whether it changed.
bool RepairOptionText(std::string& content, bool markerExists);
