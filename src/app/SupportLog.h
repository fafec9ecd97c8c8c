#pragma once
// The support log: plain UTF-8 lines appended to "QirellPatcher.log" beside the folders' state files,
// each stamped with the local time and the process id. Past 1 MiB the file becomes "QirellPatcher.log.1"
// (one older file kept) and a new one begins. Lines wait in memory for at most a quarter second or
// 64 KiB, so a run of many thousand files writes in large pieces; FlushLog writes what waits.
#include <cstdint>
#include <string>

constexpr uint64_t kLogRotateBytes = uint64_t(1) << 20;

// Opens the log in folder (created when missing) for the lines that follow; an empty folder keeps no log.
void OpenLog(const std::wstring& folder);
void AppendLog(const std::string& line);
void FlushLog();
