#pragma once
// How results read in the support log: plain English for whoever helps the player, with the system's
// error code where a system call failed.
#include <string>

#include "fetch/FetchResult.h"
#include "net/Http.h"
#include "patch/Plan.h"
#include "trust/ManifestSignature.h"

std::string LogText(const GetResult& result);
std::string LogText(const FetchResult& result);
std::string LogText(SignatureError error);
std::string LogText(FetchWay way);
// " (error N)" for a system error, empty for none.
std::string SystemErrorText(uint32_t error);
