#pragma once
#include <string>
#include <vector>

#include "digest/PublicKey.h"

struct AppSettings {
    std::wstring exeName = L"QirellPatcher.exe";
    // The build option QIRELL_MANIFEST_URL: one address, or up to 4 separated by spaces (tried in order).
    std::wstring manifestUrl;
    std::vector<std::wstring> fallbackUrls;
    bool allowNoArchive = false;
    bool fullCheck = false;
    std::wstring stateFolder;  // %LOCALAPPDATA%\QirellPatcher; empty: nothing is remembered
    // Keys whose signature the manifest must carry; none: no signature is asked for. Start-up reads
    // them from the stamp block, where the build option puts them.
    std::vector<PublicKey> publicKeys;
};

// The build option's text: addresses separated by spaces, the first into manifestUrl, the rest into
// fallbackUrls (both replaced).
void SplitBuiltAddresses(const std::wstring& text, AppSettings& settings);

// Written only at start-up, before any second thread exists; never destroyed.
AppSettings& Settings();
