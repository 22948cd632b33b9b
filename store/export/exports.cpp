// Ledra.dll's certificate functions and its entry point: each export of the core's functions
// (store/core/functions.inc) forwards to the store core,
// which reads the store root from this process's environment on every call (see layout.h).
#include <windows.h>

#include "platform/OpenSslDllMain.h"
#include "store/core/ledra.h"
#include "store/export/exports.h"

namespace {

// Every call tells the core the process's ANSI code page: the DN texts that the callers pass and
// expect are in it, and it can change while the DLL is loaded.
template <typename F> int32_t WithProcessSettings(F&& call) noexcept {
    try {
        ledra::SetAnsiCodePage(static_cast<int>(GetACP()));
        return call();
    } catch (...) {
        return ledra::err::kInternal;
    }
}

} // namespace

// OpenSSL, linked in statically, keeps the DLL loaded and releases its per-thread state as in its
// own DLL (platform/OpenSslDllMain.h).
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    return qm::OpenSslDllMain(instance, reason);
}

// The functions of the core, each forwarded with the process's settings.
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments)                             \
    QM_STORE_EXPORT_##layer(name, parameters, arguments)
#define QM_STORE_EXPORT_core(name, parameters, arguments)                                          \
    int32_t __cdecl name parameters {                                                              \
        return WithProcessSettings([&] { return ledra::name arguments; });                         \
    }
#define QM_STORE_EXPORT_registry(name, parameters, arguments) // registry.cpp
#include "store/core/functions.inc"
