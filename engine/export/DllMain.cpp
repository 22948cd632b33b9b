// Corvane.dll's entry point: OpenSSL, linked in statically, keeps the DLL loaded and releases its
// per-thread state as in its own DLL (platform/OpenSslDllMain.h), and allocates from the engine's
// pool (engine/core/pool.h) from its very first allocation.
#include "engine/core/pool.h"
#include "platform/OpenSslDllMain.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        corvane::pool::InstallForOpenSsl();
    }
    return qm::OpenSslDllMain(instance, reason);
}
