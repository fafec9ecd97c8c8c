#pragma once
// One move-only holder for every kind of Win32 handle; each kind says what "empty" is and how to close.
#include <windows.h>

#include <utility>

template <typename Traits>
class Unique {
public:
    using Type = typename Traits::Type;

    Unique() noexcept = default;
    explicit Unique(Type h) noexcept : h_(h) {}
    ~Unique() { reset(); }

    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : h_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::Empty(); }

    Type release() noexcept { return std::exchange(h_, Traits::Empty()); }
    void reset(Type h = Traits::Empty()) noexcept {
        Type old = std::exchange(h_, h);
        if (old != Traits::Empty()) Traits::Close(old);
    }
    // For out-parameters: closes what is held and hands out the slot.
    Type* put() noexcept {
        reset();
        return &h_;
    }

private:
    Type h_ = Traits::Empty();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CloseHandle(h); }
};
// CreateFileW and CreateToolhelp32Snapshot report failure with INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { CloseHandle(h); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { FindClose(h); }
};
struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { DeleteObject(h); }
};
struct MemoryDcTraits {
    using Type = HDC;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { DeleteDC(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { RegCloseKey(h); }
};

using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueFile = Unique<FileHandleTraits>;
using UniqueFind = Unique<FindHandleTraits>;
using UniqueGdi = Unique<GdiObjectTraits>;
using UniqueMemoryDc = Unique<MemoryDcTraits>;
using UniqueRegKey = Unique<RegKeyTraits>;

// Puts an object into a DC and puts the previous one back on scope exit.
class SelectRestorer {
public:
    SelectRestorer(HDC dc, HGDIOBJ obj) noexcept : dc_(dc), old_(SelectObject(dc, obj)) {}
    ~SelectRestorer() {
        if (old_) SelectObject(dc_, old_);
    }
    SelectRestorer(const SelectRestorer&) = delete;
    SelectRestorer& operator=(const SelectRestorer&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};
