#pragma once
// How the app steers the pre-load that follows a ready run, from its own threads.
#include "fetch/Download.h"
#include "fetch/Pace.h"

struct PreloadControl {
    // Closing the window, starting the game (unless the release asks to go on while playing) or a new
    // start of the patcher: the pre-load stops, and the next run goes on where it stopped.
    DownloadCancel stop;
    // Unlimited at first; once the game starts and the release asks to go on while playing, its cap
    // and background priority for every transfer of the pre-load.
    Pace pace;
};
