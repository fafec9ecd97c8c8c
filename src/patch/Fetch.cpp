#include "patch/Fetch.h"

FetchResult FetchWhole(const PlannedFile& file, FetchContext& context) {
    const DownloadFile download{file.fileUrl, file.sidePath, file.entry.size, file.entry.sha256, file.resume};
    return DownloadVerifiedFile(context.http, download, context.progress, context.cancel);
}

FetchResult FetchPlanned(const PlannedFile& file, FetchContext& context) {
    if (file.way == FetchWay::Assembled) {
        const FetchResult assembled = FetchAssembled(file, context);
        if (IsVerified(assembled)) return assembled;
        context.meter.lastPublish = 0;  // the whole download shows its first bytes at once
    }
    return FetchWhole(file, context);
}
