#pragma once
// The executable's stamp block (see base/StampBlock.h): when `qirell-manifest stamp` has filled it,
// its address and keys replace the ones the program was built with.
void ApplyStampedSettings();
