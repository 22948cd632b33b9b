// Start and stop of the library in a process: the machine-wide instance count "Count", the
// closing of the session manager's windows when the last process lets the library go, and the
// start and end of the class table. Both run from DllMain, under the loader lock.
#pragma once

#include <windows.h>

namespace qm::lifetime {

// Limits that keep the loader lock from being held for long: how long a start or stop waits for
// another process's update of the count, how long one close request may take, and how long the
// close requests of one stop may take in all (and how many windows they reach).
inline constexpr DWORD kCountWaitMs = 2000;
inline constexpr DWORD kCloseRequestMs = 1000;
inline constexpr DWORD kCloseBudgetMs = 3000;
inline constexpr int kCloseWindowLimit = 32;

// The named mutex that makes the read, change and store of the count exclusive across processes.
inline constexpr wchar_t kCountMutexName[] = L"Local\\Quillmark.InstanceCount";

void ModuleStart(HINSTANCE instance) noexcept;
// `processExit`: the process is ending (its other threads are gone).
void ModuleStop(bool processExit) noexcept;

} // namespace qm::lifetime
