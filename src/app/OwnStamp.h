#pragma once
// The executable's stamp block (see trust/StampBlock.h), the one place its public keys live: the build
// puts the QIRELL_MANIFEST_PUBLIC_KEYS keys there and `qirell-manifest stamp` may replace them and the
// address. False when the block cannot be read (damaged, or a layout this build does not know); the
// program must not run then, since it would check no signatures.
bool ApplyOwnStamp();
