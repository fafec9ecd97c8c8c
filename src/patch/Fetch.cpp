#include "patch/Fetch.h"

FetchResult FetchWhole(const PlannedFile& file, FetchContext& context) {
    const DownloadFile download{file.fileUrl, file.sidePath, file.displayName, file.entry.size, file.entry.sha256,
                                file.resume};
    FetchResult result;
    result.verified = DownloadVerifiedFile(context.http, download, context.progress, context.cancel, result.failure);
    return result;
}

FetchResult FetchPlanned(const PlannedFile& file, FetchContext& context) {
    if (file.way == FetchWay::Assembled) {
        FetchResult assembled = FetchAssembled(file, context);
        if (assembled.verified) return assembled;
        context.meter.lastPublish = 0;  // the whole download shows its first bytes at once
    }
    return FetchWhole(file, context);
}
