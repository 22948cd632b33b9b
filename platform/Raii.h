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

// An open registry key (never one of the predefined roots).
class UniqueHkey {
public:
    UniqueHkey() = default;
    explicit UniqueHkey(HKEY key) : key_(key) {}
    UniqueHkey(const UniqueHkey&) = delete;
    UniqueHkey& operator=(const UniqueHkey&) = delete;
    ~UniqueHkey() { reset(); }

    HKEY get() const { return key_; }
    HKEY* out() {
        reset();
        return &key_;
    }
    HKEY release() { return std::exchange(key_, nullptr); }
    void reset() {
        if (HKEY key = std::exchange(key_, nullptr)) {
            RegCloseKey(key);
        }
    }

private:
    HKEY key_ = nullptr;
};

// A kernel handle (null when none; INVALID_HANDLE_VALUE is never stored).
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle)
        : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    // Closes the handle now: false when that failed (the last write to a file can fail here).
    bool close() { return CloseHandle(std::exchange(handle_, nullptr)) != FALSE; }

private:
    HANDLE handle_ = nullptr;
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

// A module loaded by LoadLibrary(Ex).
class UniqueLibrary {
public:
    explicit UniqueLibrary(HMODULE module) : module_(module) {}
    UniqueLibrary(const UniqueLibrary&) = delete;
    UniqueLibrary& operator=(const UniqueLibrary&) = delete;
    ~UniqueLibrary() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
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
