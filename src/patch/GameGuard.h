#pragma once
// Whether the game client runs (the process list); tests stand in for it through gHooks.clientRunning.
bool IsClientProcessRunning();
