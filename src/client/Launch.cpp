#include "client/Launch.h"

// Placeholder until the launch flow lands.
void LaunchProgram(const std::wstring&) {}
