#pragma once
// The ways of bringing one planned file into its verified side file, one signature for all.
#include <string>

#include "fetch/Download.h"
#include "fetch/ProgressMeter.h"
#include "net/Http.h"
#include "patch/Plan.h"

struct FetchContext {
    HttpSession& http;
    ProgressMeter& meter;             // the stage's bytes; a strategy adds what it writes
    DownloadCancel* cancel = nullptr;  // set when other threads may stop the transfer
    DownloadProgress progress;         // publishes a whole download's bytes
};

// verified: the side file holds exactly the entry's size and digest. Otherwise no side file is left and
// failure says why (empty when an assembly gave way to a whole download). An exception leaves no side
// file either and ends the run.
struct FetchResult {
    bool verified = false;
    std::wstring failure;
};

FetchResult FetchWhole(const PlannedFile& file, FetchContext& context);
// From the block map, the local copy and Range requests (patch/DeltaAssemble.cpp).
FetchResult FetchAssembled(const PlannedFile& file, FetchContext& context);
// The plan's way: assembled when that works, whole otherwise.
FetchResult FetchPlanned(const PlannedFile& file, FetchContext& context);
