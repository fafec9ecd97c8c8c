#include "app/OwnStamp.h"

#include "app/Settings.h"
#include "trust/StampBlock.h"
#include "text/Text.h"

// Its own section, kept by the linker ("used") and read through a volatile pointer, so that neither
// the compiler nor the linker can fold the bytes away or share them with another constant.
#ifdef _MSC_VER
#pragma section(".qstamp", read)
#define QIRELL_STAMP_PLACE __declspec(allocate(".qstamp"))
#else
#define QIRELL_STAMP_PLACE __attribute__((section(".qstamp"), used))
#endif

namespace {

struct StampBlockBytes {
    unsigned char bytes[kStampBlockSize];
};

// The block as the build leaves it: never stamped, carrying the QIRELL_MANIFEST_PUBLIC_KEYS keys, so
// that the image itself says which keys it checks, for the tool and for the patcher that installs it.
constexpr StampBlockBytes BuiltBlock() {
    StampBlockBytes block{};
    for (size_t i = 0; i < kStampMagicSize; ++i) block.bytes[i] = StampMagicByte(i);
    block.bytes[kStampVersionAt] = kStampLayoutVersion & 0xff;
    block.bytes[kStampVersionAt + 1] = kStampLayoutVersion >> 8;
    PublicKeyList keys;
    if (!ParsePublicKeys(QIRELL_MANIFEST_PUBLIC_KEYS, keys)) throw "QIRELL_MANIFEST_PUBLIC_KEYS cannot be read";
    block.bytes[kStampKeyCountAt] = static_cast<unsigned char>(keys.count);
    for (size_t k = 0; k < keys.count; ++k)
        for (size_t i = 0; i < 64; ++i) block.bytes[kStampKeysAt + k * 64 + i] = keys.keys[k][i];
    return block;
}

}  // namespace

extern "C" QIRELL_STAMP_PLACE constinit const StampBlockBytes qirellStampBlock = BuiltBlock();

bool ApplyOwnStamp() {
    uint8_t copy[kStampBlockSize];
    const volatile unsigned char* block = qirellStampBlock.bytes;
    for (size_t i = 0; i < kStampBlockSize; ++i) copy[i] = block[i];
    StampSettings stamped;
    if (!ReadStampBlock(copy, sizeof copy, stamped)) return false;
    if (stamped.stamped && !stamped.url.empty()) {
        Settings().manifestUrl = Utf8ToWide(stamped.url);
        Settings().fallbackUrls.clear();
        for (const std::string& more : stamped.fallbackUrls) Settings().fallbackUrls.push_back(Utf8ToWide(more));
    }
    Settings().publicKeys = stamped.keys;
    return true;
}
