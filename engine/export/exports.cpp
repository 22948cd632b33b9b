// Corvane.dll's export layer: each export forwards to the engine core, with the calling convention
// that Quillmark.dll calls it by. The ordinals are in Corvane.def.

#include "engine/core/corvane.h"

#define QM_EXPORT extern "C" int32_t __cdecl

QM_EXPORT CV_ContextInit(EngineContext* c) {
    return corvane::CV_ContextInit(c);
}
QM_EXPORT CV_ContextFree(EngineContext* c) {
    return corvane::CV_ContextFree(c);
}
QM_EXPORT CV_Free(void* block) {
    return corvane::CV_Free(block);
}
QM_EXPORT CV_Base64Encode(const ByteBuffer* in, char** text) {
    return corvane::CV_Base64Encode(in, text);
}
QM_EXPORT CV_Base64Decode(const char* text, ByteBuffer* out) {
    return corvane::CV_Base64Decode(text, out);
}
QM_EXPORT CV_PemDecode(const char* text, ByteBuffer* out) {
    return corvane::CV_PemDecode(text, out);
}
QM_EXPORT CV_PemEncode(const ByteBuffer* der, int32_t type, char** text) {
    return corvane::CV_PemEncode(der, type, text);
}
QM_EXPORT CV_Digest(int32_t id, const ByteBuffer* in, ByteBuffer* out) {
    return corvane::CV_Digest(id, in, out);
}
QM_EXPORT CV_DigestId(const char* name, int32_t* id) {
    return corvane::CV_DigestId(name, id);
}
QM_EXPORT CV_CipherId(const char* name, int32_t* id) {
    return corvane::CV_CipherId(name, id);
}
QM_EXPORT CV_IvLength(int32_t alg, int32_t* len) {
    return corvane::CV_IvLength(alg, len);
}
QM_EXPORT CV_KeyLength(int32_t alg, int32_t* len) {
    return corvane::CV_KeyLength(alg, len);
}
QM_EXPORT CV_RandomBytes(int32_t source, int32_t count, uint8_t** block) {
    return corvane::CV_RandomBytes(source, count, block);
}
QM_EXPORT CV_Encrypt(int32_t alg, const uint8_t* key, const uint8_t* iv, const ByteBuffer* in,
                     ByteBuffer* out) {
    return corvane::CV_Encrypt(alg, key, iv, in, out);
}
QM_EXPORT CV_Decrypt(int32_t alg, const uint8_t* key, const uint8_t* iv, const ByteBuffer* in,
                     ByteBuffer* out) {
    return corvane::CV_Decrypt(alg, key, iv, in, out);
}
QM_EXPORT CV_EncryptForCertificate(EngineContext* c, const ByteBuffer* cert, const ByteBuffer* in,
                                   ByteBuffer* out) {
    return corvane::CV_EncryptForCertificate(c, cert, in, out);
}
QM_EXPORT CV_DecryptPrivateKey(EngineContext* c, const ByteBuffer* key, const ByteBuffer* password,
                               ByteBuffer* out) {
    return corvane::CV_DecryptPrivateKey(c, key, password, out);
}
QM_EXPORT CV_ParseCertificate(EngineContext* c, const ByteBuffer* cert, int32_t flags,
                              int32_t* out1, int32_t* out2) {
    return corvane::CV_ParseCertificate(c, cert, flags, out1, out2);
}
QM_EXPORT CV_VerifyCertificate(EngineContext* c, const ByteBuffer* cert, const ByteBuffer* ca,
                               const ByteBuffer* crl, const ByteBuffer* arl, char** detail) {
    return corvane::CV_VerifyCertificate(c, cert, ca, crl, arl, detail);
}
