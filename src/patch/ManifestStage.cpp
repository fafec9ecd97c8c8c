// The manifest stage: the configured address, then each fallback address in turn, until one answers
// with a manifest that verifies (when the patcher carries keys) and reads. The signature comes from
// the same address as the manifest; every address is held to the same keys and expiry.
#include <windows.h>

#include "patch/LogLines.h"
#include "patch/RunState.h"
#include "patch/Words.h"
#include "text/Utf8.h"
#include "trust/ManifestSignature.h"

namespace {

// One address: fetched, verified and read into run, or the words of why not and the log's reason.
bool TakeManifestFrom(RunState& run, const std::wstring& address, Words& failure, std::string& why) {
    run.fetchUrl = CacheBustingUrl(address, GetTickCount64());
    run.body.clear();
    run.manifest = PatchManifest{};
    const GetResult got = HttpGetToMemory(run.http, run.fetchUrl, run.body);
    if (!got.ok()) {
        failure = ConnectionWords(got, run.fetchUrl);
        why = LogText(got);
        return false;
    }
    GetResult signatureGet;
    const SignatureError signature = VerifyManifestSignature(run.http, run.config->publicKeys, run.fetchUrl,
                                                             run.body, run.signer, signatureGet);
    if (signature != SignatureError::None) {
        failure = SignatureWords(signature, signatureGet, run.fetchUrl);
        why = LogText(signature) +
              (signature == SignatureError::Unreachable ? " (" + LogText(signatureGet) + ")" : std::string());
        return false;
    }
    if (!ParseManifest(run.body, run.manifest) || run.manifest.files.empty()) {
        failure = WordsFor(RunStep::BadManifest);
        why = "not a readable manifest with files (" + std::to_string(run.body.size()) + " bytes)";
        return false;
    }
    if (!AcceptManifest(run, failure)) {
        why = "refused by its sequence";
        return false;
    }
    run.manifestUrl = address;
    return true;
}

}  // namespace

bool FetchManifest(RunState& run) {
    std::vector<std::wstring> addresses{run.config->manifestUrl};
    addresses.insert(addresses.end(), run.config->fallbackUrls.begin(), run.config->fallbackUrls.end());
    Words failure;
    for (size_t i = 0; i < addresses.size(); ++i) {
        std::string why;
        if (TakeManifestFrom(run, addresses[i], failure, why)) return true;
        if (addresses.size() == 1)
            Log(run, "manifest " + WideToUtf8(addresses[i]) + ": " + why);
        else
            Log(run, "manifest base " + std::to_string(i + 1) + " " + WideToUtf8(addresses[i]) + ": " + why +
                         (i + 1 < addresses.size() ? ", next address" : ", no address left"));
    }
    Report(run, failure, 0);
    return false;
}
