// The engine's DER inputs: certificates (parse, seal to, verify, and as a CA bundle), CRLs, and
// encrypted PKCS#8 keys, all from the same hostile bytes.
#include "engine/core/corvane.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    ByteBuffer input{static_cast<int32_t>(bytes.size()), bytes.empty() ? nullptr : bytes.data()};
    ByteBuffer empty{0, nullptr};
    uint8_t secret[] = {1, 2, 3, 4};
    ByteBuffer small{4, secret};
    const char password[] = "password";
    ByteBuffer passwordBuffer{8, reinterpret_cast<uint8_t*>(const_cast<char*>(password))};

    EngineContext context{};
    corvane::CV_ContextInit(&context);

    int32_t word1 = 0;
    int32_t word2 = 0;
    corvane::CV_ParseCertificate(&context, &input, 0, &word1, &word2);

    ByteBuffer sealed{0, nullptr};
    if (corvane::CV_EncryptForCertificate(&context, &input, &small, &sealed) == 0) {
        corvane::CV_Free(sealed.data);
    }

    char* detail = nullptr;
    corvane::CV_VerifyCertificate(&context, &input, &input, &input, &empty, &detail);
    corvane::CV_Free(detail);
    detail = nullptr;
    corvane::CV_VerifyCertificate(&context, &input, &input, &empty, &input, &detail);
    corvane::CV_Free(detail);

    ByteBuffer key{0, nullptr};
    if (corvane::CV_DecryptPrivateKey(&context, &input, &passwordBuffer, &key) == 0) {
        corvane::CV_Free(key.data);
    }

    corvane::CV_ContextFree(&context);
    return 0;
}
