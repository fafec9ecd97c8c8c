#pragma once
#include <string>
#include <vector>

#include "digest/PublicKey.h"

struct AppSettings {
    std::wstring exeName = L"QirellPatcher.exe";
    std::wstring manifestUrl = QIRELL_MANIFEST_URL;
    bool allowNoArchive = false;
    bool fullCheck = false;
    std::wstring stateFolder;  // %LOCALAPPDATA%\QirellPatcher; empty: nothing is remembered
    // Keys whose signature the manifest must carry; none: no signature is asked for. Start-up reads
    // them from the stamp block, where the build option puts them.
    std::vector<PublicKey> publicKeys;
};

// Written only at start-up, before any second thread exists; never destroyed.
AppSettings& Settings();
