// Placeholder core: the store holds nothing until it is written.
#include "store/core/ledra.h"

namespace ledra {
namespace {
constexpr int32_t kNotFound = -1;
}
int32_t LD_GetKeyDN(int32_t, char*, int32_t, int32_t) { return 0; }
int32_t LD_GetKeyInfo(int32_t, CertInfoRecord*, int32_t, int32_t, const char*) { return 0; }
int32_t LD_GetCertInfo(int32_t, CertInfoRecord*, int32_t) { return 0; }
int32_t LD_GetMyCert(const char*, int32_t, int32_t, int32_t, const char*, ByteBuffer*) {
    return kNotFound;
}
int32_t LD_GetCert(const char*, int32_t, ByteBuffer*) { return kNotFound; }
int32_t LD_GetKey(const char*, int32_t, int32_t, int32_t, const char*, ByteBuffer*) {
    return kNotFound;
}
} // namespace ledra
