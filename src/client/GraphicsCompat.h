#pragma once
#include <string>
#include <vector>

// The adapter list is a seam: tests hand in their own PnP device ids.
using AdapterList = std::vector<std::wstring> (*)();
std::vector<std::wstring> EnumerateAdapterDeviceIds();
extern AdapterList gAdapterList;

// Writes the compatibility layer's settings file when an NVIDIA or AMD adapter is present, else deletes it.
void UpdateGraphicsCompatFile();
