#pragma once
#include <string>

struct AppSettings {
    std::wstring exeName = L"QirellPatcher.exe";
    std::wstring manifestUrl = QIRELL_MANIFEST_URL;
    bool allowNoArchive = false;
};

// Written only at start-up, before any second thread exists; never destroyed.
AppSettings& Settings();
