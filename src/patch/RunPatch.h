#pragma once
// One patch run, on the calling thread, from the manifest to the last swap. No exception leaves a
// thread of the run: helper threads hand theirs to the thread that waits for them, and the run's own
// thread ends the run as a failure with a text from patch/Words.cpp.
#include <windows.h>

#include "patch/Reporter.h"
#include "patch/RunConfig.h"

// 0 when the game is ready, 1 when the run failed; the reporter has been told either way.
DWORD RunPatch(const RunConfig& config, const Reporter& reporter);
