#include "app/Settings.h"

#include <algorithm>

void SplitBuiltAddresses(const std::wstring& text, AppSettings& settings) {
    settings.manifestUrl.clear();
    settings.fallbackUrls.clear();
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(L' ', at), text.size());
        if (end > at) {
            std::wstring address = text.substr(at, end - at);
            if (settings.manifestUrl.empty()) settings.manifestUrl = std::move(address);
            else settings.fallbackUrls.push_back(std::move(address));
        }
        at = end + 1;
    }
}

AppSettings& Settings() {
    static AppSettings* settings = [] {
        auto* built = new AppSettings;
        SplitBuiltAddresses(QIRELL_MANIFEST_URL, *built);
        return built;
    }();
    return *settings;
}
