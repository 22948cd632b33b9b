// Owners of platform resources: each releases its resource in its destructor, so
// that no early return leaks one. (Automation strings have theirs beside the string conversion:
// qm::UniqueBstr.)
#pragma once

#include <windows.h>

#include <unknwn.h>

#include <utility>

namespace qm {

// A counted COM reference.
template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~ComPtr() { reset(); }

    // Adopts a reference that the caller already holds.
    static ComPtr Adopt(T* p) {
        ComPtr c;
        c.p_ = p;
        return c;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** out() {
        reset();
        return &p_;
    }
    void** out_void() { return reinterpret_cast<void**>(out()); }
    T* release() { return std::exchange(p_, nullptr); }
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) {
            p->Release();
        }
    }

private:
    T* p_ = nullptr;
};

// A resource that a system function made for its caller, released with `Release` when its owner
// goes; a null value owns nothing. It moves, so a function that opens one returns its owner.
template <typename T, auto Release> class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = other.release();
        }
        return *this;
    }
    ~UniqueResource() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != T{}; }
    T* out() {
        reset();
        return &value_;
    }
    T release() { return std::exchange(value_, T{}); }
    void reset() {
        if (T value = std::exchange(value_, T{})) {
            Release(value);
        }
    }

private:
    T value_{};
};

// An open registry key (never one of the predefined roots).
using UniqueHkey = UniqueResource<HKEY, RegCloseKey>;

// A module loaded by LoadLibrary(Ex).
using UniqueLibrary = UniqueResource<HMODULE, FreeLibrary>;

// Memory that a system function allocated: LocalFree for the security functions, CoTaskMemFree
// for the shell's.
template <typename T> using LocalMemory = UniqueResource<T*, LocalFree>;
template <typename T> using TaskMemory = UniqueResource<T*, CoTaskMemFree>;

// A kernel handle (null when none; INVALID_HANDLE_VALUE is never stored).
class UniqueHandle : public UniqueResource<HANDLE, CloseHandle> {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle)
        : UniqueResource(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    // Closes the handle now: false when that failed (the last write to a file can fail here).
    bool close() { return CloseHandle(release()) != FALSE; }
};

// A machine-wide named mutex held for the owner's lifetime. The wait is bounded; a mutex abandoned
// by a process that died holding it is taken over; when the wait runs out the owner goes on
// without it (Held() is false) rather than hang its caller.
class NamedMutexLock {
public:
    NamedMutexLock(const wchar_t* name, DWORD timeoutMs)
        : mutex_(CreateMutexW(nullptr, FALSE, name)) {
        if (mutex_.get() != nullptr) {
            DWORD wait = WaitForSingleObject(mutex_.get(), timeoutMs);
            held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    NamedMutexLock(const NamedMutexLock&) = delete;
    NamedMutexLock& operator=(const NamedMutexLock&) = delete;
    ~NamedMutexLock() {
        if (held_) {
            ReleaseMutex(mutex_.get());
        }
    }
    bool Held() const { return held_; }

private:
    UniqueHandle mutex_;
    bool held_ = false;
};

// A critical section that lives as long as its owner (static objects included).
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    void Enter() { EnterCriticalSection(&section_); }
    void Leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class Lock {
public:
    explicit Lock(CriticalSection& section) : section_(section) { section_.Enter(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() { section_.Leave(); }

private:
    CriticalSection& section_;
};

} // namespace qm
