#pragma once
// What the player reads when a file of the plan could not be fetched.
#include <string>

#include "fetch/FetchResult.h"
#include "patch/Plan.h"

struct StatusWords {
    std::wstring headline;
    std::wstring detail;
};

// The failure status for a result other than verified.
StatusWords FetchFailureWords(const FetchResult& result, const PlannedFile& file);
