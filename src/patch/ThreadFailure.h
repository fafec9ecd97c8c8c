#pragma once
// No exception leaves a thread of the run: helper threads hand theirs to the thread that waits for
// them, and the run's own thread ends the run as a failure with a text from here (RunPatch).

// The player's text for the exception being handled; call only inside a catch block.
const wchar_t* CaughtFailureText() noexcept;

// Test seam: called on the helper threads before each piece of their work ("check", "download",
// "ranges"); it may throw. Null outside tests.
extern void (*gHelperWorkSeam)(const char* where);
