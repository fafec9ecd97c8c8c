#pragma once
// Trust across a self-update: a signed manifest may replace the patcher only with one that still
// checks the key that signed it. Without that rule one signed manifest could install a patcher that
// checks nothing (and a replayed one would switch signing off for good), or one only another key opens.
#include <optional>
#include <string>

#include "trust/StampBlock.h"

// True when the image in sideFile (the verified new patcher) carries signer in its stamp block, or
// when there is no signer (a patcher without keys may install any patcher, a keyed one included).
// False when the key is missing or the image's keys cannot be read (no block, several, damaged).
bool NewPatcherKeepsTrust(const std::wstring& sideFile, const std::optional<PublicKey>& signer);
