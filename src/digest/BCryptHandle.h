#pragma once
#include <windows.h>
#include <bcrypt.h>

#include "base/Handle.h"

struct BCryptAlgTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};
struct BCryptHashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { BCryptDestroyHash(h); }
};
using UniqueAlg = Unique<BCryptAlgTraits>;
using UniqueHash = Unique<BCryptHashTraits>;
struct BCryptKeyTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { BCryptDestroyKey(h); }
};
using UniqueKey = Unique<BCryptKeyTraits>;
