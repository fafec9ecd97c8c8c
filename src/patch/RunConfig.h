#pragma once
// What the app hands a run: built from its settings before the run's thread starts, read-only after.
#include <string>
#include <vector>

#include "digest/PublicKey.h"

struct PreloadControl;

struct RunConfig {
    std::wstring manifestUrl;
    // Keys whose signature the manifest must carry; none: no signature is asked for.
    std::vector<PublicKey> publicKeys;
    std::wstring exeName;    // the patcher's own file name in the game folder
    bool autoClose = false;  // nobody is there to answer: a running game is not waited for
    // Further manifest addresses, tried in order when the one before fails (to answer, or with a
    // manifest that cannot be read or verified). Empty: manifestUrl alone, as always.
    std::vector<std::wstring> fallbackUrls;
    // Where the game folder's state is kept between runs (%LOCALAPPDATA%\QirellPatcher); empty: nowhere,
    // every run starts from nothing.
    std::wstring stateFolder;
    bool fullCheck = false;  // every file is hashed, whatever the state remembers
    // After a ready run whose manifest announces the next release, that release is fetched ahead into
    // the staging folder under this control (owned by the app). Null: no pre-load.
    PreloadControl* preload = nullptr;
};
