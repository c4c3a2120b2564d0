// Owners for platform handles: each closes its handle when it goes out of
// scope, so nested acquisitions are released in reverse order on every exit.
#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>
#include <winhttp.h>

template <typename H, auto Close>
struct NullInvalidTraits {
    using Handle = H;
    static constexpr Handle invalid() noexcept { return Handle{}; }
    static bool valid(Handle h) noexcept { return h != Handle{}; }
    static void close(Handle h) noexcept { Close(h); }
};

struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(Handle h) noexcept { CloseHandle(h); }
};

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept : handle_(Traits::invalid()) {}
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return Traits::valid(handle_); }

    // Closes what is held and hands out the slot for an API that fills it in.
    Handle* put() noexcept {
        reset();
        return &handle_;
    }
    Handle release() noexcept {
        Handle h = handle_;
        handle_ = Traits::invalid();
        return h;
    }
    void reset(Handle handle = Traits::invalid()) noexcept {
        if (Traits::valid(handle_)) Traits::close(handle_);
        handle_ = handle;
    }

private:
    Handle handle_;
};

inline void unmapView(const void* view) noexcept {
    UnmapViewOfFile(view);
}
inline void freeGlobal(HGLOBAL block) noexcept {
    GlobalFree(block);
}
inline void releaseCryptContext(HCRYPTPROV provider) noexcept {
    CryptReleaseContext(provider, 0);
}
inline void closeAlgorithm(BCRYPT_ALG_HANDLE algorithm) noexcept {
    BCryptCloseAlgorithmProvider(algorithm, 0);
}

using UniqueKernelHandle = UniqueHandle<NullInvalidTraits<HANDLE, &CloseHandle>>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueGlobal = UniqueHandle<NullInvalidTraits<HGLOBAL, &freeGlobal>>;
// A view of a file mapping (MapViewOfFile), unmapped when it goes.
using UniqueMapView = UniqueHandle<NullInvalidTraits<void*, &unmapView>>;
using UniqueKey = UniqueHandle<NullInvalidTraits<HKEY, &RegCloseKey>>;
using UniqueInternet = UniqueHandle<NullInvalidTraits<HINTERNET, &WinHttpCloseHandle>>;
using UniqueCryptContext = UniqueHandle<NullInvalidTraits<HCRYPTPROV, &releaseCryptContext>>;
using UniqueCryptHash = UniqueHandle<NullInvalidTraits<HCRYPTHASH, &CryptDestroyHash>>;
using UniqueAlgorithm = UniqueHandle<NullInvalidTraits<BCRYPT_ALG_HANDLE, &closeAlgorithm>>;
using UniqueBcryptKey = UniqueHandle<NullInvalidTraits<BCRYPT_KEY_HANDLE, &BCryptDestroyKey>>;
using UniqueDC = UniqueHandle<NullInvalidTraits<HDC, &DeleteDC>>;
using UniqueBitmap = UniqueHandle<NullInvalidTraits<HBITMAP, &DeleteObject>>;
using UniqueFont = UniqueHandle<NullInvalidTraits<HFONT, &DeleteObject>>;
using UniqueRegion = UniqueHandle<NullInvalidTraits<HRGN, &DeleteObject>>;
