#include "app/StampedBlock.h"

#include "base/Settings.h"
#include "base/StampBlock.h"
#include "text/Text.h"

// Its own section, kept by the linker ("used") and read through a volatile pointer, so that neither
// the compiler nor the linker can fold the zeros away or share them with another constant.
#ifdef _MSC_VER
#pragma section(".qstamp", read)
#define QIRELL_STAMP_PLACE __declspec(allocate(".qstamp"))
#else
#define QIRELL_STAMP_PLACE __attribute__((section(".qstamp"), used))
#endif

extern "C" QIRELL_STAMP_PLACE const unsigned char qirellStampBlock[kStampBlockSize] = {
    StampMagicByte(0),  StampMagicByte(1),  StampMagicByte(2),  StampMagicByte(3),
    StampMagicByte(4),  StampMagicByte(5),  StampMagicByte(6),  StampMagicByte(7),
    StampMagicByte(8),  StampMagicByte(9),  StampMagicByte(10), StampMagicByte(11),
    StampMagicByte(12), StampMagicByte(13), StampMagicByte(14), StampMagicByte(15),
    kStampLayoutVersion & 0xff, kStampLayoutVersion >> 8};

void ApplyStampedSettings() {
    uint8_t copy[kStampBlockSize];
    const volatile unsigned char* block = qirellStampBlock;
    for (size_t i = 0; i < kStampBlockSize; ++i) copy[i] = block[i];
    StampSettings stamped;
    if (!ReadStampBlock(copy, sizeof copy, stamped) || !stamped.stamped) return;
    if (!stamped.url.empty()) Settings().manifestUrl = Utf8ToWide(stamped.url);
    Settings().publicKeys = stamped.keys;
}
