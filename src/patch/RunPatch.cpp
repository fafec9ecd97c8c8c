#include "patch/RunPatch.h"

#include "client/OptionFile.h"
#include "trust/ManifestSignature.h"
#include "patch/RunState.h"
#include "patch/Words.h"
#include "net/Http.h"

std::wstring CacheBustingUrl(const std::wstring& manifestUrl, uint64_t ticks) {
    const wchar_t* separator = manifestUrl.find(L'?') != std::wstring::npos ? L"&t=" : L"?t=";
    return manifestUrl + separator + std::to_wstring(ticks);
}

void Report(const RunState& run, const std::wstring& headline, const std::wstring& detail, int progress) {
    run.reporter->status(run.reporter->context, headline, detail, progress);
}

void Report(const RunState& run, const Words& words, int progress) {
    Report(run, words.headline, words.detail, progress);
}

bool Logging(const RunState& run) { return run.reporter->log != nullptr; }

void Log(const RunState& run, const std::string& line) {
    if (run.reporter->log) run.reporter->log(run.reporter->context, line);
}

namespace {

DWORD EndRun(const Reporter& reporter, bool ready) {
    reporter.end(reporter.context, ready);
    return ready ? 0 : 1;
}

DWORD RunStages(RunState& run) {
    Report(run, WordsFor(RunStep::CheckingVersion), 20);

    run.fetchUrl = CacheBustingUrl(run.config->manifestUrl, GetTickCount64());
    if (!OpenHttpSession(run.http, run.failureText) ||
        !HttpGetToMemory(run.http, run.fetchUrl, run.body, run.failureText)) {
        Report(run, ConnectionWords(run.failureText), 0);
        return EndRun(*run.reporter, false);
    }
    const SignatureError signature = VerifyManifestSignature(run.http, run.config->publicKeys, run.fetchUrl,
                                                             run.body, run.signer, run.failureText);
    if (signature != SignatureError::None) {
        Report(run, SignatureWords(signature, run.failureText), 0);
        return EndRun(*run.reporter, false);
    }
    if (!ParseManifest(run.body, run.manifest) || run.manifest.files.empty()) {
        Report(run, WordsFor(RunStep::BadManifest), 0);
        return EndRun(*run.reporter, false);
    }
    if (!AcceptManifest(run)) return EndRun(*run.reporter, false);

    CheckLocalFiles(run);
    SelectRemovals(run);

    const bool anythingToChange =
        !run.toDownload.empty() || !run.dirsToRemove.empty() || !run.filesToRemove.empty();
    if (anythingToChange && !WaitUntilClientClosed(run)) return EndRun(*run.reporter, false);
    if (!DownloadAndReplace(run)) return EndRun(*run.reporter, false);

    RemoveListed(run);
    FixOptionFile();
    Report(run, CompletionWords(run.manifest.version, run.toDownload.size()), 1000);
    return EndRun(*run.reporter, true);
}

}  // namespace

DWORD RunPatch(const RunConfig& config, const Reporter& reporter) {
    reporter.begin(reporter.context);
    try {
        RunState run;
        run.config = &config;
        run.reporter = &reporter;
        return RunStages(run);
    } catch (...) {
        // Out of memory here or on a helper thread: an honest failure, never the end of the process.
        const wchar_t* text = CaughtFailureText();
        try {
            reporter.status(reporter.context, kRunFailedHeadline, text, 0);
        } catch (...) {
            // Not even the status could be written; the run still ends failed.
        }
        return EndRun(reporter, false);
    }
}
