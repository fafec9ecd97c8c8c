#include "base/Settings.h"

AppSettings& Settings() {
    static AppSettings* settings = new AppSettings;
    return *settings;
}

std::vector<PublicKey> BuildTimePublicKeys() {
    std::vector<PublicKey> keys;
    // CMake has checked the text already; a failed parse here cannot happen, and would leave no keys.
    ParsePublicKeyList(QIRELL_MANIFEST_PUBLIC_KEYS, keys);
    return keys;
}
