// Corvane.dll's entry point. OpenSSL is linked in statically, so the per-thread state it keeps
// (its error queue, among others) is released here when a thread ends, as OpenSSL's own DLL does.
#include <windows.h>

#include <openssl/crypto.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_THREAD_DETACH) {
        OPENSSL_thread_stop();
    }
    return TRUE;
}
