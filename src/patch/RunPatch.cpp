#include "patch/RunPatch.h"

#include "app/StatusBoard.h"

// Placeholder until the run stages land: fails at once so the window offers Retry.
DWORD WINAPI RunPatch(LPVOID) {
    BeginRun();
    UpdateStatus(L"เกิดข้อผิดพลาดในการเชื่อมต่อ", L"", 0);
    EndRunFailure();
    return 1;
}
