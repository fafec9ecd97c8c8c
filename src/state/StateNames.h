#pragma once
// Names of what the patcher keeps outside the game folder, under %LOCALAPPDATA%: the folder, each game
// folder's state file and the support log. The operator tool refuses release files named like them.
#include <cstddef>

#define QIRELL_STATE_FOLDER "QirellPatcher"
#define QIRELL_LOG_NAME "QirellPatcher.log"
#define QIRELL_OLD_LOG_NAME "QirellPatcher.log.1"
#define QIRELL_STATE_PREFIX "QirellPatcher-"
#define QIRELL_STATE_SUFFIX ".state"

constexpr char kLogFileName[] = QIRELL_LOG_NAME;
constexpr char kOldLogFileName[] = QIRELL_OLD_LOG_NAME;
constexpr wchar_t kStateFolderNameW[] = L"" QIRELL_STATE_FOLDER;
constexpr wchar_t kLogFileNameW[] = L"" QIRELL_LOG_NAME;
constexpr wchar_t kOldLogFileNameW[] = L"" QIRELL_OLD_LOG_NAME;
// A state file is the prefix, 16 lower-case hexadecimal digits and the suffix; while it is written,
// the same name with kStateTempSuffix after it.
constexpr char kStatePrefix[] = QIRELL_STATE_PREFIX;
constexpr char kStateSuffix[] = QIRELL_STATE_SUFFIX;
constexpr char kStateTempSuffix[] = ".tmp";
constexpr size_t kStateIdDigits = 16;

// True when a file's name (no folders) is one of these, compared without regard to ASCII letter case:
// the log, the rotated log, a state file or its temporary file.
bool IsPatcherStateName(const char* name, size_t length);
