#pragma once
// The ways of bringing one planned file into its verified side file, one signature for all.
#include <mutex>
#include <vector>

#include "fetch/Download.h"
#include "fetch/ProgressMeter.h"
#include "net/Http.h"
#include "patch/Plan.h"

struct RunState;

// The order the plan's bases are tried in for the rest of the run: a base that failed a file goes last.
// Shared by the stage's threads.
struct BaseOrder {
    std::mutex lock;
    std::vector<size_t> order;  // indexes into FetchPlan::bases
};
void StartBaseOrder(BaseOrder& bases, size_t count);

struct FetchContext {
    HttpSession& http;
    ProgressMeter& meter;             // the stage's bytes; a strategy adds what it writes
    DownloadCancel* cancel = nullptr;  // set when other threads may stop the transfer
    DownloadProgress progress;         // publishes a whole download's bytes
    const RunState* run = nullptr;     // whose reporter an assembly's progress goes to, and the log
    BaseOrder* bases = nullptr;        // with mirrors: the run's order of bases
    const DownloadCancel* stop = nullptr;  // the run's stop from outside (RunState::stop)
    Pace* pace = nullptr;              // the run's pace for every transfer, ranges included; null: none
};

// Each returns Verified when the side file holds exactly the entry's size and digest; otherwise no side
// file is left and the code says why. An exception leaves no side file either and ends the run.
FetchResult FetchWhole(const PlannedFile& file, FetchContext& context);
// From the block map, the local copy and Range requests (patch/DeltaAssemble.cpp); NotAssembled when
// that cannot be done.
FetchResult FetchAssembled(const PlannedFile& file, FetchContext& context);
// The plan's way: assembled when that works, whole otherwise. A file with several sources is tried at
// each base in the run's order until one verifies; a failure its bytes can't be blamed on (no
// connection, lost or timed out, 404 or 5xx, wrong size or digest) moves it on, after its side file
// is discarded, and sends that base to the end of the order. The result is the last base's.
FetchResult FetchPlanned(const PlannedFile& file, FetchContext& context);
// Whether a failure moves the file on to its next base.
bool TriesNextBase(const FetchResult& result);
