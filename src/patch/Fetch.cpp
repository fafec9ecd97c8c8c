#include "patch/Fetch.h"

#include <algorithm>

#include "patch/LogLines.h"
#include "patch/RunState.h"
#include "text/Utf8.h"

namespace {

FetchResult FetchFromSource(const PlannedFile& file, FetchContext& context) {
    if (file.way == FetchWay::Assembled) {
        const FetchResult assembled = FetchAssembled(file, context);
        if (IsVerified(assembled)) return assembled;
        context.meter.lastPublish = 0;  // the whole download shows its first bytes at once
    }
    return FetchWhole(file, context);
}

// The bytes one attempt added to the stage's count, taken back when it fails.
struct CountedProgress {
    DownloadProgress inner;
    int64_t added = 0;
};

void CountBytes(void* context, uint64_t received, int64_t change) {
    auto& counted = *static_cast<CountedProgress*>(context);
    counted.added += change;
    if (counted.inner.report) counted.inner.report(counted.inner.context, received, change);
}

std::vector<size_t> CurrentOrder(BaseOrder& bases) {
    std::lock_guard<std::mutex> guard(bases.lock);
    return bases.order;
}

void SendToEnd(BaseOrder& bases, size_t base) {
    std::lock_guard<std::mutex> guard(bases.lock);
    auto at = std::find(bases.order.begin(), bases.order.end(), base);
    if (at != bases.order.end()) std::rotate(at, at + 1, bases.order.end());
}

}  // namespace

FetchResult FetchWhole(const PlannedFile& file, FetchContext& context) {
    DownloadFile download{file.fileUrl, file.sidePath, file.entry.size, file.entry.sha256, file.resume, {}, nullptr,
                          nullptr, context.stop};
    download.pace = context.pace;
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

void StartBaseOrder(BaseOrder& bases, size_t count) {
    bases.order.clear();
    for (size_t b = 0; b < count; ++b) bases.order.push_back(b);
}

bool TriesNextBase(const FetchResult& result) {
    switch (result.code) {
    case FetchCode::BadUrl:
    case FetchCode::NoConnection:
    case FetchCode::ConnectionLost:
    case FetchCode::WrongSize:
    case FetchCode::WrongDigest: return true;
    case FetchCode::HttpStatus: return result.httpStatus == 404 || (result.httpStatus >= 500 && result.httpStatus < 600);
    default: return false;
    }
}

FetchResult FetchPlanned(const PlannedFile& file, FetchContext& context) {
    if (file.sources.size() <= 1 || !context.bases) return FetchFromSource(file, context);
    const DownloadProgress outer = context.progress;
    FetchResult result;
    PlannedFile at = file;
    size_t left = file.sources.size();
    for (size_t base : CurrentOrder(*context.bases)) {
        const auto source = std::find_if(file.sources.begin(), file.sources.end(),
                                         [&](const FileSource& s) { return s.base == base; });
        if (source == file.sources.end()) continue;
        at.fileUrl = source->fileUrl;
        at.mapUrl = source->mapUrl;
        at.way = at.mapUrl.empty() && at.way == FetchWay::Assembled ? FetchWay::Whole : file.way;
        CountedProgress counted{outer};
        context.progress = {CountBytes, &counted};
        result = FetchFromSource(at, context);
        context.progress = outer;
        if (IsVerified(result) && context.run)
            Log(*context.run, "file " + file.entry.path + " base " + WideToUtf8(at.fileUrl) + ": verified");
        if (IsVerified(result) || !TriesNextBase(result)) return result;
        // The bytes of this attempt do not count. The next base starts from an empty side file, unless
        // the body only broke off and a resumed range may go on from the same bytes.
        if (counted.added && outer.report) outer.report(outer.context, 0, -counted.added);
        if (!(file.resume && result.code == FetchCode::ConnectionLost)) DeleteFileW(file.sidePath.c_str());
        SendToEnd(*context.bases, base);
        --left;
        if (context.run)
            Log(*context.run, "file " + file.entry.path + " base " + WideToUtf8(at.fileUrl) + ": " + LogText(result) +
                                  (left ? ", next base" : ", no base left"));
    }
    return result;
}
