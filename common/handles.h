#pragma once
// One owner for every Windows resource: a move-only wrapper per kind of handle, each knowing
// its own "no resource" value (NULL or INVALID_HANDLE_VALUE) and how to give it back.
#include <windows.h>

#include <type_traits>
#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    Type release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(Type value = Traits::invalid()) noexcept {
        const Type old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }
    // For APIs that return the resource through an out pointer.
    Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::invalid();
};

struct KernelHandleTraits {  // events, mutexes, processes, threads: NULL means none
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE means none
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { ::CloseHandle(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::RegCloseKey(h); }
};
struct MenuTraits {
    using Type = HMENU;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::DestroyMenu(h); }
};
struct IconTraits {
    using Type = HICON;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::DestroyIcon(h); }
};
struct MemoryDcTraits {  // CreateCompatibleDC
    using Type = HDC;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::DeleteDC(h); }
};
struct BitmapTraits {
    using Type = HBITMAP;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::DeleteObject(h); }
};

struct WindowTraits {
    using Type = HWND;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::DestroyWindow(h); }
};

using KernelHandle = UniqueResource<KernelHandleTraits>;
using FileHandle = UniqueResource<FileHandleTraits>;
using RegKey = UniqueResource<RegKeyTraits>;
using MenuHandle = UniqueResource<MenuTraits>;
using IconHandle = UniqueResource<IconTraits>;
using MemoryDc = UniqueResource<MemoryDcTraits>;
using BitmapHandle = UniqueResource<BitmapTraits>;
using WindowHandle = UniqueResource<WindowTraits>;

// GetDC/ReleaseDC pairs need the window as well as the context.
class WindowDc {
public:
    explicit WindowDc(HWND window) noexcept : window_(window), dc_(::GetDC(window)) {}
    ~WindowDc() {
        if (dc_) ::ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const noexcept { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// A critical section that lives as long as its owner; Scoped takes it for one block.
class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&section_); }
    ~CriticalSection() { ::DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    class Scoped {
    public:
        explicit Scoped(CriticalSection& cs) noexcept : cs_(cs) { ::EnterCriticalSection(&cs_.section_); }
        ~Scoped() { ::LeaveCriticalSection(&cs_.section_); }
        Scoped(const Scoped&) = delete;
        Scoped& operator=(const Scoped&) = delete;

    private:
        CriticalSection& cs_;
    };

private:
    CRITICAL_SECTION section_;
};

// One-time initialisation by Windows itself: the thread runtime's equivalent keeps per-thread
// data that a library unloaded from a running process never gets back. The function runs at
// most once, on whichever thread comes first; the others wait for it. It must not throw.
class RunOnce {
public:
    template <typename Function>
    void operator()(Function&& function) noexcept {
        ::InitOnceExecuteOnce(&once_, &call<std::remove_reference_t<Function>>, &function, nullptr);
    }

private:
    template <typename Function>
    static BOOL CALLBACK call(PINIT_ONCE, PVOID function, PVOID*) {
        (*static_cast<Function*>(function))();
        return TRUE;
    }
    INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
};

// Ownership of an acquired mutex: released (not closed) when the scope ends.
class MutexOwnership {
public:
    explicit MutexOwnership(HANDLE mutex) noexcept : mutex_(mutex) {}
    ~MutexOwnership() {
        if (mutex_) ::ReleaseMutex(mutex_);
    }
    MutexOwnership(const MutexOwnership&) = delete;
    MutexOwnership& operator=(const MutexOwnership&) = delete;

private:
    HANDLE mutex_;
};

// GlobalLock/GlobalUnlock pairs.
class GlobalLockGuard {
public:
    explicit GlobalLockGuard(HGLOBAL memory) noexcept : memory_(memory), data_(::GlobalLock(memory)) {}
    ~GlobalLockGuard() {
        if (data_) ::GlobalUnlock(memory_);
    }
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
    void* get() const noexcept { return data_; }

private:
    HGLOBAL memory_;
    void* data_;
};
