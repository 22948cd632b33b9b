// The crypto engine's core: plain C++ over OpenSSL 3, with the same functions and signatures as
// the exports of Corvane.dll (see external/engine.h for their contracts). The export layer of the
// DLL forwards to these; native programs (tests, benchmarks, fuzzers, tools) call them directly.
#pragma once

#include "external/abi.h"

namespace corvane {

int32_t CV_ContextInit(EngineContext* context);
int32_t CV_ContextFree(EngineContext* context);
int32_t CV_Free(void* block);
int32_t CV_Base64Encode(const ByteBuffer* input, char** text);
int32_t CV_Base64Decode(const char* text, ByteBuffer* output);
int32_t CV_PemDecode(const char* text, ByteBuffer* output);
int32_t CV_PemEncode(const ByteBuffer* der, int32_t type, char** text);
int32_t CV_Digest(int32_t digestId, const ByteBuffer* input, ByteBuffer* output);
int32_t CV_DigestId(const char* name, int32_t* digestId);
int32_t CV_CipherId(const char* name, int32_t* algorithmId);
int32_t CV_IvLength(int32_t algorithmId, int32_t* length);
int32_t CV_KeyLength(int32_t algorithmId, int32_t* length);
int32_t CV_RandomBytes(int32_t source, int32_t count, uint8_t** block);
int32_t CV_Encrypt(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                   const ByteBuffer* input, ByteBuffer* output);
int32_t CV_Decrypt(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                   const ByteBuffer* input, ByteBuffer* output);
int32_t CV_EncryptForCertificate(EngineContext* context, const ByteBuffer* certificate,
                                 const ByteBuffer* input, ByteBuffer* output);
int32_t CV_DecryptPrivateKey(EngineContext* context, const ByteBuffer* encryptedKey,
                             const ByteBuffer* password, ByteBuffer* output);
int32_t CV_ParseCertificate(EngineContext* context, const ByteBuffer* certificate, int32_t flags,
                            int32_t* output1, int32_t* output2);
int32_t CV_VerifyCertificate(EngineContext* context, const ByteBuffer* certificate,
                             const ByteBuffer* caCertificates, const ByteBuffer* crl,
                             const ByteBuffer* arl, char** detail);

} // namespace corvane
