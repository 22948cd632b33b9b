// The certificate store's core: plain C++ over a folder tree, with the same certificate functions
// and signatures as the exports of Ledra.dll (see external/store.h for their contracts). The
// registry functions live in the DLL's export layer, which reaches the real registry.
#pragma once

#include "external/abi.h"

namespace ledra {

int32_t LD_GetKeyDN(int32_t kind, char* dnArea, int32_t medium, int32_t siteCode);
int32_t LD_GetKeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium, int32_t siteCode,
                      const char* password);
int32_t LD_GetCertInfo(int32_t kind, CertInfoRecord* records, int32_t siteCode);
int32_t LD_GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                     const char* password, ByteBuffer* output);
int32_t LD_GetCert(const char* dn, int32_t kind, ByteBuffer* output);
int32_t LD_GetKey(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                  const char* password, ByteBuffer* output);

} // namespace ledra
