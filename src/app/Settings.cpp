#include "app/Settings.h"

#include <algorithm>

namespace {

AppSettings* BuiltSettings() {
    auto* settings = new AppSettings;
    const std::wstring built = QIRELL_MANIFEST_URL;
    for (size_t at = 0; at < built.size();) {
        const size_t end = std::min(built.find(L' ', at), built.size());
        if (end > at) (settings->manifestUrl.empty() ? settings->manifestUrl : settings->fallbackUrls.emplace_back()) =
                          built.substr(at, end - at);
        at = end + 1;
    }
    return settings;
}

}  // namespace

AppSettings& Settings() {
    static AppSettings* settings = BuiltSettings();
    return *settings;
}
