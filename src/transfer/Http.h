#pragma once
#include <string>

// One blocking GET of the whole body into memory; true exactly when the server answered 200.
bool HttpGetToMemory(const std::wstring& requestUrl, std::string& body, std::wstring& failureText);
