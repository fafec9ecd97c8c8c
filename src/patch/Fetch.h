#pragma once
// The ways of bringing one planned file into its verified side file, one signature for all.
#include "fetch/Download.h"
#include "fetch/ProgressMeter.h"
#include "net/Http.h"
#include "patch/Plan.h"

struct RunState;

struct FetchContext {
    HttpSession& http;
    ProgressMeter& meter;             // the stage's bytes; a strategy adds what it writes
    DownloadCancel* cancel = nullptr;  // set when other threads may stop the transfer
    DownloadProgress progress;         // publishes a whole download's bytes
    const RunState* run = nullptr;     // whose reporter an assembly's progress goes to
};

// Each returns Verified when the side file holds exactly the entry's size and digest; otherwise no side
// file is left and the code says why. An exception leaves no side file either and ends the run.
FetchResult FetchWhole(const PlannedFile& file, FetchContext& context);
// From the block map, the local copy and Range requests (patch/DeltaAssemble.cpp); NotAssembled when
// that cannot be done.
FetchResult FetchAssembled(const PlannedFile& file, FetchContext& context);
// The plan's way: assembled when that works, whole otherwise.
FetchResult FetchPlanned(const PlannedFile& file, FetchContext& context);
