#include <windows.h>
#include <tlhelp32.h>

#include "base/Handle.h"
#include "base/Hooks.h"
#include "client/ClientFacts.h"
#include "patch/GameGuard.h"
#include "patch/RunState.h"
#include "patch/Words.h"
#include "text/Text.h"

bool IsClientProcessRunning() {
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) return false;
    do {
        if (AsciiEqualNoCase(entry.szExeFile, kClientExe)) return true;
    } while (Process32NextW(snapshot.get(), &entry));
    return false;
}

bool WaitUntilClientClosed(const RunState& run) {
    for (;;) {
        if (!Hooked(gHooks.clientRunning, IsClientProcessRunning)()) return true;
        // In auto-close mode nobody is there to answer: go on and let a locked file fail the swap.
        if (run.config->autoClose) return true;
        if (!run.reporter->retryOrCancel(run.reporter->context, kClientRunningQuestion)) {
            const Words cancelled = WordsFor(RunStep::Cancelled);
            Report(run, cancelled.headline, cancelled.detail, 0);
            return false;
        }
    }
}
