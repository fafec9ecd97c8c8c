#include "patch/Fetch.h"

#include "patch/RunState.h"

FetchResult FetchWhole(const PlannedFile& file, FetchContext& context) {
    DownloadFile download{file.fileUrl, file.sidePath, file.entry.size, file.entry.sha256, file.resume, {}, nullptr,
                          nullptr};
    ValidatorKeeper keeper{context.run ? context.run->memory.get() : nullptr, &file};
    if (file.resume && keeper.memory) {
        download.validator = file.validator;
        download.keepValidator = KeepValidator;
        download.keepContext = &keeper;
        WIN32_FILE_ATTRIBUTE_DATA a{};
        if (!file.validator.empty() && GetFileAttributesExW(file.sidePath.c_str(), GetFileExInfoStandard, &a))
            Log(*context.run, "fetch " + file.entry.path + ": resumed at byte " +
                                  std::to_string((uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow) +
                                  " of an earlier run's side file");
    }
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
