// The entry point of a DLL that links OpenSSL in statically (Corvane.dll, Ledra.dll). OpenSSL then
// behaves as it does in its own DLL:
// - it registers its clean-up with the C runtime of the process, to run when the process ends,
//   so the DLL stays loaded until then (a FreeLibrary that unloaded it would leave that clean-up
//   pointing at code that is gone, and the process would crash as it exits);
// - the per-thread state it keeps (its error queue, among others) is released when a thread ends.
#pragma once

#include <windows.h>

#include <openssl/crypto.h>

namespace qm {

// What DllMain returns, for the DLL `instance`.
inline BOOL OpenSslDllMain(HINSTANCE instance, DWORD reason) noexcept {
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE self = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                      GET_MODULE_HANDLE_EX_FLAG_PIN,
                                  reinterpret_cast<LPCWSTR>(instance), &self);
    }
    if (reason == DLL_THREAD_DETACH) {
        OPENSSL_thread_stop();
    }
    return TRUE;
}

} // namespace qm
