#pragma once
#include <string>
#include <vector>

// The display adapters' PnP device ids; tests hand in their own through gHooks.adapterIds.
std::vector<std::wstring> EnumerateAdapterDeviceIds();

// Writes the compatibility layer's settings file when an NVIDIA or AMD adapter is present, else deletes it.
void UpdateGraphicsCompatFile();
