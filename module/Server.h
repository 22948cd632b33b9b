// The COM server's per-process state: the lock count that decides whether the library may be
// unloaded, the library's instance handle and type-library identifier, the locks that guard the
// cached class objects and type information, and the callbacks that run when the class table ends.
#pragma once

#include "platform/Raii.h"

#include <windows.h>

namespace qm::server {

// Live objects, class objects held by clients and LockServer locks.
void Lock() noexcept;
void Unlock() noexcept;
LONG LockCount() noexcept;

HINSTANCE Instance() noexcept;
const GUID& TypeLibrary() noexcept;

CriticalSection& ClassObjectLock() noexcept;
CriticalSection& TypeInfoLock() noexcept;

// Runs once when the class table ends (the cached type information is released this way).
using TermCallback = void (*)(void* context);
// False when the list is full; the caller then keeps its state until the process ends.
bool AddTermCallback(TermCallback callback, void* context) noexcept;

// Set by the class table's start.
void SetInstance(HINSTANCE instance) noexcept;
void SetTypeLibrary(const GUID& typeLibrary) noexcept;
// Runs and forgets every termination callback, last added first.
void RunTermCallbacks() noexcept;

} // namespace qm::server
