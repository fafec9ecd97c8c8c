#include <windows.h>

#include "base/StatusBoard.h"
#include "app/Startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const int exitCode = RunApplication(instance, showCommand);
    // A run still going reads the board, the settings and the runtime's heap: end the process here
    // without static destructors or CRT teardown under the live worker.
    if (Board().busy || RunThreadGoingOn()) ExitProcess(static_cast<UINT>(exitCode));
    return exitCode;
}
