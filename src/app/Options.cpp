#include "app/Options.h"

CommandLineOptions ParseOptions(const std::vector<std::wstring>& args) {
    CommandLineOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == L"--url") {
            if (i + 1 < args.size()) {
                options.hasUrl = true;
                options.url = args[++i];
            }
        } else if (arg == L"--auto-close") {
            options.autoClose = true;
        } else if (arg == L"--allow-no-qpa") {
            options.allowNoArchive = true;
        } else if (arg == L"--full-check") {
            options.fullCheck = true;
        }
    }
    return options;
}
