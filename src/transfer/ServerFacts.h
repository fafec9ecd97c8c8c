#pragma once
// What the patcher fixes about the update server.
constexpr wchar_t kUserAgent[] = L"QirellPatcher/1.0";
constexpr wchar_t kSideFileSuffix[] = L".patch.tmp";
