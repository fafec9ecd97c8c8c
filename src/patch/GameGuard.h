#pragma once
// The process list is a seam so tests can stand in for a running client.
using ClientRunningProbe = bool (*)();
bool IsClientProcessRunning();
extern ClientRunningProbe gClientRunningProbe;
