// Ledra.dll's certificate functions: each export forwards to the store core. Compiled by wineg++,
// so the exports follow the Windows calling convention; the core is plain C++.
#include <windows.h>

#include "store/core/ledra.h"

#define QM_EXPORT extern "C" int32_t __cdecl

QM_EXPORT LD_GetKeyDN(int32_t kind, char* area, int32_t medium, int32_t site) {
    return ledra::LD_GetKeyDN(kind, area, medium, site);
}
QM_EXPORT LD_GetKeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium, int32_t site,
                        const char* password) {
    return ledra::LD_GetKeyInfo(kind, records, medium, site, password);
}
QM_EXPORT LD_GetCertInfo(int32_t kind, CertInfoRecord* records, int32_t site) {
    return ledra::LD_GetCertInfo(kind, records, site);
}
QM_EXPORT LD_GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t site,
                       const char* password, ByteBuffer* out) {
    return ledra::LD_GetMyCert(dn, kind, medium, site, password, out);
}
QM_EXPORT LD_GetCert(const char* dn, int32_t kind, ByteBuffer* out) {
    return ledra::LD_GetCert(dn, kind, out);
}
QM_EXPORT LD_GetKey(const char* dn, int32_t kind, int32_t medium, int32_t site,
                    const char* password, ByteBuffer* out) {
    return ledra::LD_GetKey(dn, kind, medium, site, password, out);
}
