#pragma once
#include <string>
#include <vector>

#include "base/StampBlock.h"

// The keys of the QIRELL_MANIFEST_PUBLIC_KEYS build option.
std::vector<PublicKey> BuildTimePublicKeys();

struct AppSettings {
    std::wstring exeName = L"QirellPatcher.exe";
    std::wstring manifestUrl = QIRELL_MANIFEST_URL;
    bool allowNoArchive = false;
    // Keys whose signature the manifest must carry; none: no signature is asked for.
    std::vector<PublicKey> publicKeys = BuildTimePublicKeys();
};

// Written only at start-up, before any second thread exists; never destroyed.
AppSettings& Settings();
