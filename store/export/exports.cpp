// Ledra.dll's certificate functions and its entry point: each export forwards to the store core,
// which reads the store root from this process's environment on every call (see layout.h).
#include <windows.h>

#include "platform/OpenSslDllMain.h"
#include "store/core/ledra.h"

#define QM_EXPORT extern "C" int32_t __cdecl

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

QM_EXPORT LD_GetKeyDN(int32_t kind, char* area, int32_t medium, int32_t site) {
    return WithProcessSettings([&] { return ledra::LD_GetKeyDN(kind, area, medium, site); });
}
QM_EXPORT LD_GetKeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium, int32_t site,
                        const char* password) {
    return WithProcessSettings(
        [&] { return ledra::LD_GetKeyInfo(kind, records, medium, site, password); });
}
QM_EXPORT LD_GetCertInfo(int32_t kind, CertInfoRecord* records, int32_t site) {
    return WithProcessSettings([&] { return ledra::LD_GetCertInfo(kind, records, site); });
}
QM_EXPORT LD_GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t site,
                       const char* password, ByteBuffer* out) {
    return WithProcessSettings(
        [&] { return ledra::LD_GetMyCert(dn, kind, medium, site, password, out); });
}
QM_EXPORT LD_GetCert(const char* dn, int32_t kind, ByteBuffer* out) {
    return WithProcessSettings([&] { return ledra::LD_GetCert(dn, kind, out); });
}
QM_EXPORT LD_GetKey(const char* dn, int32_t kind, int32_t medium, int32_t site,
                    const char* password, ByteBuffer* out) {
    return WithProcessSettings(
        [&] { return ledra::LD_GetKey(dn, kind, medium, site, password, out); });
}
