// Corvane.dll's entry point. OpenSSL is linked in statically, and it behaves here as it does in
// its own DLL:
// - it registers its clean-up with the C runtime of the process, to run when the process ends,
//   so this DLL stays loaded until then (a FreeLibrary that unloaded it would leave that clean-up
//   pointing at code that is gone, and the process would crash as it exits);
// - the per-thread state it keeps (its error queue, among others) is released when a thread ends.
// OpenSSL allocates from the engine's pool (engine/core/pool.h) from its very first allocation.
#include "engine/core/pool.h"

#include <windows.h>

#include <openssl/crypto.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        corvane::pool::InstallForOpenSsl();
        HMODULE self = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                      GET_MODULE_HANDLE_EX_FLAG_PIN,
                                  reinterpret_cast<LPCWSTR>(&DllMain), &self);
    }
    if (reason == DLL_THREAD_DETACH) {
        OPENSSL_thread_stop();
    }
    return TRUE;
}
