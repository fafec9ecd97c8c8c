#pragma once
#include <string>
#include <vector>

// The adapter list is a seam: tests hand in their own device ids.
struct AdapterSource {
    std::vector<std::wstring> (*deviceIds)();
};
std::vector<std::wstring> EnumerateAdapterDeviceIds();
extern AdapterSource gAdapterSource;

bool AnyVendorNeedsNoCompat(const std::vector<std::wstring>& deviceIds);
void UpdateGraphicsCompatFile();
