#pragma once
// What the patcher and the app share about the game client and its folder; each file keeps the facts
// only it uses.
constexpr wchar_t kClientExe[] = L"QirellQX.exe";
constexpr wchar_t kSetupExe[] = L"Setup.exe";
constexpr wchar_t kDataArchive[] = L"data.qpa";
constexpr wchar_t kMessageCaption[] = L"Qirell QX Auto-Patcher";
