#include "patch/RunPatch.h"

#include "base/Settings.h"
#include "base/StatusBoard.h"
#include "client/OptionFile.h"
#include "trust/ManifestSignature.h"
#include "patch/RunState.h"
#include "patch/ThreadFailure.h"
#include "net/Http.h"

std::wstring CacheBustingUrl(const std::wstring& manifestUrl, uint64_t ticks) {
    const wchar_t* separator = manifestUrl.find(L'?') != std::wstring::npos ? L"&t=" : L"?t=";
    return manifestUrl + separator + std::to_wstring(ticks);
}

namespace {

DWORD FailRun() {
    EndRunFailure();
    return 1;
}

DWORD RunStages() {
    UpdateStatus(L"กำลังตรวจสอบเวอร์ชัน...", L"กำลังดึงข้อมูลรายการแพตช์จากเซิร์ฟเวอร์...", 20);

    RunState run;
    run.fetchUrl = CacheBustingUrl(Settings().manifestUrl, GetTickCount64());
    if (!OpenHttpSession(run.http, run.failureText) ||
        !HttpGetToMemory(run.http, run.fetchUrl, run.body, run.failureText)) {
        UpdateStatus(L"เกิดข้อผิดพลาดในการเชื่อมต่อ", run.failureText, 0);
        return FailRun();
    }
    if (!VerifyManifestSignature(run.http, run.fetchUrl, run.body, run.signer)) return FailRun();
    if (!ParseManifest(run.body, run.manifest) || run.manifest.files.empty()) {
        UpdateStatus(L"ข้อมูลแพตช์ไม่ถูกต้อง", L"ไม่สามารถอ่านไฟล์ manifest.json จากเซิร์ฟเวอร์ได้", 0);
        return FailRun();
    }

    CheckLocalFiles(run);
    SelectRemovals(run);

    const bool anythingToChange =
        !run.toDownload.empty() || !run.dirsToRemove.empty() || !run.filesToRemove.empty();
    if (anythingToChange && !WaitUntilClientClosed()) return FailRun();
    if (!DownloadAndReplace(run)) return FailRun();

    RemoveListed(run);
    FixOptionFile();
    PublishCompletion(run);
    EndRunSuccess();
    return 0;
}

}  // namespace

DWORD WINAPI RunPatch(LPVOID) {
    BeginRun();
    try {
        return RunStages();
    } catch (...) {
        // Out of memory here or on a helper thread: an honest failure, never the end of the process.
        const wchar_t* text = CaughtFailureText();
        try {
            UpdateStatus(L"อัปเดตไม่สำเร็จ", text, 0);
        } catch (...) {
            // Not even the status could be written; the run still ends failed.
        }
        return FailRun();
    }
}
