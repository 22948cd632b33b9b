// The certificate validator: collects a certificate, the CA certificates and optionally a CRL and
// an ARL, and has the engine validate the certificate over them.
#pragma once

#include "crypto/CryptoObject.h"

class CCertValidator : public CCryptoObject {
public:
    CCertValidator();
    ~CCertValidator() override;

    int32_t SetCertificate(int length, const uint8_t* der);
    int32_t SetCaCertificates(const char* pemText);
    int32_t SetCrl(const char* pemText);
    int32_t SetArl(const char* pemText);
    int32_t Validate();

protected:
    int32_t parseOutput[2] = {0, 0};       // CV_ParseCertificate's outputs; nothing reads them
    EngineContext context{};               // CV_ContextFree
    ByteBuffer certificate{0, nullptr};    // general allocator
    ByteBuffer caCertificates{0, nullptr}; // general allocator
    ByteBuffer crl{0, nullptr};            // CV_Free
    ByteBuffer arl{0, nullptr};            // CV_Free
    char* detail = nullptr;                // CV_VerifyCertificate's detail block (CV_Free)

private:
    int32_t SetRevocationList(ByteBuffer* list, const char* pemText);
};
