#include <cstdio>
#include <string>

#include "Tool.h"
#ifdef _WIN32
#include <io.h>
#define QIRELL_ISATTY _isatty
#else
#include <unistd.h>
#define QIRELL_ISATTY isatty
#endif

namespace {

void Show(const Progress& p) {
    std::string line = "\rhashed " + std::to_string(p.filesDone) + "/" + std::to_string(p.filesTotal) +
                       " files, " + std::to_string(p.bytesDone >> 20) + "/" + std::to_string(p.bytesTotal >> 20) +
                       " MiB   ";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

void ProgressBegin(Progress& p, uint64_t files, uint64_t bytes) {
    p = Progress{};
    p.shown = QIRELL_ISATTY(2) != 0;
    p.filesTotal = files;
    p.bytesTotal = bytes;
    if (p.shown) Show(p);
}

void ProgressAdvance(Progress& p, uint64_t bytes, bool fileDone) {
    uint64_t before = p.bytesDone >> 20;
    p.bytesDone += bytes;
    if (fileDone) ++p.filesDone;
    if (p.shown && (fileDone || (p.bytesDone >> 20) != before)) Show(p);
}

void ProgressEnd(Progress& p) {
    if (p.shown) std::fputs("\n", stderr);
    p.shown = false;
}
