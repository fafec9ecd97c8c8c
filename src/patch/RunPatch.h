#pragma once
#include <windows.h>

DWORD WINAPI RunPatch(LPVOID);
