#pragma once
#include <string>
#include <vector>

struct CommandLineOptions {
    bool hasUrl = false;
    std::wstring url;
    bool autoClose = false;
    bool allowNoArchive = false;
    bool fullCheck = false;  // --full-check: hash every file, whatever the state remembers
};

// args: the arguments after the program path. Options are matched whole and case-sensitively.
CommandLineOptions ParseOptions(const std::vector<std::wstring>& args);
