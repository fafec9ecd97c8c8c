#include <windows.h>
#include <tlhelp32.h>

#include "base/Handle.h"
#include "base/StatusBoard.h"
#include "client/ClientFacts.h"
#include "patch/GameGuard.h"
#include "patch/RunState.h"
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

ClientRunningProbe gClientRunningProbe = IsClientProcessRunning;

bool WaitUntilClientClosed() {
    for (;;) {
        if (!gClientRunningProbe()) return true;
        // In auto-close mode nobody is there to answer: go on and let a locked file fail the swap.
        if (Board().autoClose) return true;
        const int answer = MessageBoxW(Board().mainWindow.load(),
                                       L"ตรวจพบว่าตัวเกม Qirell QX กำลังเปิดอยู่\n\n"
                                       L"กรุณาปิดเกมทุกจอก่อนทำการอัปเดตไฟล์ แล้วกด ลองใหม่ (Retry)",
                                       kMessageCaption, MB_RETRYCANCEL | MB_ICONWARNING);
        if (answer == IDCANCEL) {
            UpdateStatus(L"ยกเลิกการอัปเดต", L"กรุณาปิดเกม Qirell QX ทุกจอก่อนกดอัปเดตอีกครั้ง", 0);
            return false;
        }
    }
}
