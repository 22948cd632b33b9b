#include "crypto/CertValidator.h"

#include "crypto/LocalBytes.h"
#include "external/engine.h"

namespace {

bool IsEmpty(const ByteBuffer& buffer) {
    return buffer.length <= 0 || buffer.data == nullptr;
}
bool IsEmptyText(const char* text) {
    return text == nullptr || text[0] == '\0';
}

} // namespace

CCertValidator::CCertValidator() {
    qm::Engine().CV_ContextInit(&context);
}

CCertValidator::~CCertValidator() {
    ReleaseBytes(&certificate);
    ReleaseBytes(&caCertificates);
    ReleaseEngineBytes(&crl);
    ReleaseEngineBytes(&arl);
    ReleaseEngineText(&detail);
    qm::Engine().CV_ContextFree(&context);
}

int32_t CCertValidator::SetCertificate(int length, const uint8_t* der) {
    // Copied aside before the held bytes go, so that the bytes may be our own.
    qm::LocalBytes copy;
    int32_t copied = AssignBytes(copy.out(), length, der);
    ReleaseBytes(&certificate);
    copy.moveTo(&certificate);
    qm::Engine().CV_ParseCertificate(&context, &certificate, 0, &parseOutput[0], &parseOutput[1]);
    return copied;
}

int32_t CCertValidator::SetCaCertificates(const char* pemText) {
    ReleaseBytes(&caCertificates);
    if (IsEmptyText(pemText)) {
        status = qm::kInputMissing;
        return status;
    }
    qm::EngineBuffer decoded;
    status = qm::Engine().CV_PemDecode(pemText, decoded.out());
    if (status != 0) {
        qm::DropFailedOutput(decoded);
        return status;
    }
    // A text that decodes to nothing names no CA: refused here rather than discovered by Validate.
    status = AssignBytes(&caCertificates, decoded->length, decoded->data);
    return status;
}

int32_t CCertValidator::SetCrl(const char* pemText) {
    return SetRevocationList(&crl, pemText);
}

int32_t CCertValidator::SetArl(const char* pemText) {
    return SetRevocationList(&arl, pemText);
}

// The engine's block itself becomes the list: it is handed back to the engine as it came.
int32_t CCertValidator::SetRevocationList(ByteBuffer* list, const char* pemText) {
    ReleaseEngineBytes(list);
    if (IsEmptyText(pemText)) {
        status = 0;
        return status;
    }
    status = qm::Engine().CV_PemDecode(pemText, list);
    if (status != 0) {
        *list = ByteBuffer{0, nullptr};
    }
    return status;
}

int32_t CCertValidator::Validate() {
    if (IsEmpty(certificate) || IsEmpty(caCertificates)) {
        return qm::kPartNotSet;
    }
    ReleaseEngineText(&detail);
    int32_t result = qm::Engine().CV_VerifyCertificate(&context, &certificate, &caCertificates,
                                                       &crl, &arl, &detail);
    return result;
}
