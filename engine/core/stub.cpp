// Placeholder core: every function fails until the engine is written.
#include "engine/core/corvane.h"

namespace corvane {
namespace {
constexpr int32_t kNotImplemented = -1;
}
int32_t CV_ContextInit(EngineContext*) { return kNotImplemented; }
int32_t CV_ContextFree(EngineContext*) { return kNotImplemented; }
int32_t CV_Free(void*) { return 0; }
int32_t CV_Base64Encode(const ByteBuffer*, char**) { return kNotImplemented; }
int32_t CV_Base64Decode(const char*, ByteBuffer*) { return kNotImplemented; }
int32_t CV_PemDecode(const char*, ByteBuffer*) { return kNotImplemented; }
int32_t CV_PemEncode(const ByteBuffer*, int32_t, char**) { return kNotImplemented; }
int32_t CV_Digest(int32_t, const ByteBuffer*, ByteBuffer*) { return kNotImplemented; }
int32_t CV_DigestId(const char*, int32_t*) { return kNotImplemented; }
int32_t CV_CipherId(const char*, int32_t*) { return kNotImplemented; }
int32_t CV_IvLength(int32_t, int32_t*) { return kNotImplemented; }
int32_t CV_KeyLength(int32_t, int32_t*) { return kNotImplemented; }
int32_t CV_RandomBytes(int32_t, int32_t, uint8_t**) { return kNotImplemented; }
int32_t CV_Encrypt(int32_t, const uint8_t*, const uint8_t*, const ByteBuffer*, ByteBuffer*) {
    return kNotImplemented;
}
int32_t CV_Decrypt(int32_t, const uint8_t*, const uint8_t*, const ByteBuffer*, ByteBuffer*) {
    return kNotImplemented;
}
int32_t CV_EncryptForCertificate(EngineContext*, const ByteBuffer*, const ByteBuffer*, ByteBuffer*) {
    return kNotImplemented;
}
int32_t CV_DecryptPrivateKey(EngineContext*, const ByteBuffer*, const ByteBuffer*, ByteBuffer*) {
    return kNotImplemented;
}
int32_t CV_ParseCertificate(EngineContext*, const ByteBuffer*, int32_t, int32_t*, int32_t*) {
    return kNotImplemented;
}
int32_t CV_VerifyCertificate(EngineContext*, const ByteBuffer*, const ByteBuffer*,
                             const ByteBuffer*, const ByteBuffer*, char**) {
    return kNotImplemented;
}
} // namespace corvane
