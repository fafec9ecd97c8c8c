#include "patch/RunPatch.h"

#include "client/OptionFile.h"
#include "patch/LogLines.h"
#include "patch/RunMemory.h"
#include "patch/RunState.h"
#include "patch/Words.h"
#include "net/Http.h"
#include "text/Hex.h"
#include "text/Utf8.h"
#include "trust/SignatureFile.h"

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

std::string ManifestLine(const RunState& run) {
    std::string line = "manifest " + WideToUtf8(run.fetchUrl) + ": version \"" + run.manifest.version + "\", " +
                       std::to_string(run.manifest.files.size()) + " files, ";
    if (run.signer) {
        const KeyId id = KeyIdOf(*run.signer);
        line += "signed by key " + HexLower(id.data(), id.size());
    } else {
        line += "signature not checked (no keys)";
    }
    return line;
}

DWORD EndRun(const RunState& run, bool ready) {
    const DWORD exitCode = ready ? 0 : 1;
    const uint64_t ms = GetTickCount64() - run.startTicks;
    Log(run, std::string("end: exit ") + std::to_string(exitCode) + (ready ? " (ready)" : " (failed)") + " after " +
                 std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s");
    run.reporter->end(run.reporter->context, ready);
    return exitCode;
}

DWORD RunStages(RunState& run) {
    Report(run, WordsFor(RunStep::CheckingVersion), 20);

    if (!OpenHttpSession(run.http)) {
        const GetResult noSession{GetCode::NoSession, 0, GetLastError()};
        Log(run, "WinHTTP could not be opened: " + LogText(noSession));
        Report(run, ConnectionWords(noSession, run.config->manifestUrl), 0);
        return EndRun(run, false);
    }
    LoadRunMemory(run);
    if (!FetchManifest(run)) return EndRun(run, false);
    Log(run, ManifestLine(run));

    CheckLocalFiles(run);
    SelectRemovals(run);

    const bool anythingToChange =
        !run.toDownload.empty() || !run.dirsToRemove.empty() || !run.filesToRemove.empty();
    Log(run, std::to_string(run.toDownload.size()) + " files to fetch (" + std::to_string(run.bytesTotal) +
                 " bytes), " + std::to_string(run.filesToRemove.size()) + " files and " +
                 std::to_string(run.dirsToRemove.size()) + " folders to remove");
    if (anythingToChange && !WaitUntilClientClosed(run)) {
        Log(run, "the game is running and the player cancelled");
        return EndRun(run, false);
    }
    if (!DownloadAndReplace(run)) return EndRun(run, false);

    RemoveListed(run);
    FixOptionFile();
    Report(run, CompletionWords(run.manifest.version, run.toDownload.size()), 1000);
    const DWORD exitCode = EndRun(run, true);
    try {
        PreloadNext(run);
    } catch (...) {
        // Out of memory on the way: the run stays ready, the next one goes on.
        Log(run, "pre-load: stopped on an exception");
    }
    return exitCode;
}

}  // namespace

DWORD RunPatch(const RunConfig& config, const Reporter& reporter) {
    reporter.begin(reporter.context);
    try {
        RunState run;
        run.config = &config;
        run.reporter = &reporter;
        run.startTicks = GetTickCount64();
        const DWORD exitCode = RunStages(run);
        if (reporter.idle) reporter.idle(reporter.context);
        return exitCode;
    } catch (...) {
        // Out of memory here or on a helper thread: an honest failure, never the end of the process.
        const wchar_t* text = CaughtFailureText();
        try {
            reporter.status(reporter.context, kRunFailedHeadline, text, 0);
            if (reporter.log) reporter.log(reporter.context, "end: exit 1 (failed on an exception)");
        } catch (...) {
            // Not even the status could be written; the run still ends failed.
        }
        reporter.end(reporter.context, false);
        if (reporter.idle) reporter.idle(reporter.context);
        return 1;
    }
}
