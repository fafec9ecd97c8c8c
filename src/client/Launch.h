#pragma once
#include <string>

void LaunchProgram(const std::wstring& programName);
