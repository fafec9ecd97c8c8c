#pragma once
// What the patcher fixes about the game client and its helper programs.
constexpr wchar_t kClientExe[] = L"QirellQX.exe";
constexpr wchar_t kSetupExe[] = L"Setup.exe";
constexpr wchar_t kLaunchToken[] = L"4vqe4";
constexpr wchar_t kStartMarkerName[] = L"QIRELL_PATCHER_OK";
constexpr wchar_t kStartMarkerValue[] = L"1";
constexpr wchar_t kDataArchive[] = L"data.qpa";
constexpr char kDataDirLower[] = "data";
constexpr wchar_t kDisplaySettingsKey[] = L"Software\\Morvane Soft\\Skelvard";
constexpr wchar_t kSaveDataDir[] = L"savedata";
constexpr wchar_t kOptionFile[] = L"savedata\\OptionInfo.lua";
constexpr wchar_t kShowNameMarker[] = L"savedata\\showname-v3.done";
constexpr wchar_t kCompatLayerDll[] = L"ddraw.dll";
constexpr wchar_t kCompatSettingsFile[] = L"DDrawCompat-QirellQX.ini";
constexpr wchar_t kMessageCaption[] = L"Qirell QX Auto-Patcher";
