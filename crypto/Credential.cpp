#include "crypto/Credential.h"

#include "crypto/LocalBytes.h"
#include "external/engine.h"

namespace {

// The engine is never handed a null text: a missing text is an empty one, which it refuses with
// its own code.
const char* TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

bool IsEmpty(const ByteBuffer& buffer) {
    return buffer.length <= 0 || buffer.data == nullptr;
}

} // namespace

CCredential::CCredential() {
    qm::Engine().CV_ContextInit(&context);
}

CCredential::~CCredential() {
    qm::Engine().CV_ContextFree(&context);
    ReleaseBytes(&privateKey);
    ReleaseBytes(&certificate);
    ReleaseEngineText(&digestText);
}

int32_t CCredential::SetCertificateText(const char* pemText) {
    qm::EngineBuffer decoded;
    status = qm::Engine().CV_PemDecode(TextOrEmpty(pemText), decoded.out());
    if (status != 0) {
        qm::DropFailedOutput(decoded);
        return status;
    }
    qm::LocalBytes copy;
    int32_t copied = AssignBytes(copy.out(), decoded->length, decoded->data);
    decoded.reset();
    return AdoptCertificate(copy, copied);
}

int32_t CCredential::SetCertificate(int length, const uint8_t* der) {
    // Copied aside before the held bytes go, so that a caller may hand back our own certificate.
    qm::LocalBytes copy;
    int32_t copied = AssignBytes(copy.out(), length, der);
    return AdoptCertificate(copy, copied);
}

int32_t CCredential::AdoptCertificate(qm::LocalBytes& copy, int32_t copied) {
    ReleaseBytes(&certificate);
    status = copied;
    if (status != 0) {
        return status;
    }
    copy.moveTo(&certificate);
    ReleaseEngineText(&digestText);
    status = DigestBase64(certificate, &digestText, qm::kDigestSha1);
    return status;
}

int32_t CCredential::UnlockPrivateKey(ByteBuffer encryptedKey, const char* password) {
    qm::LocalBytes passwordCopy;
    status = CopyText(passwordCopy.out(), password);
    if (status < 0) {
        return status;
    }
    if (!IsEmpty(certificate)) {
        // The engine keeps the certificate's public key on the context and hands out only that
        // certificate's own key. Neither the outputs nor the result of reading it matter here: a
        // certificate the engine cannot read leaves it refusing every key.
        int32_t version = 0;
        int32_t bits = 0;
        qm::Engine().CV_ParseCertificate(&context, &certificate, 0, &version, &bits);
    }
    // The held key goes whatever the outcome, but only once the engine has read its input,
    // which may be the held key itself.
    qm::EngineBuffer unlocked;
    status = qm::Engine().CV_DecryptPrivateKey(&context, &encryptedKey, &passwordCopy.get(),
                                               unlocked.out());
    passwordCopy.reset();
    ReleaseBytes(&privateKey);
    if (status != 0) {
        qm::DropFailedOutput(unlocked);
        return status;
    }
    status = AssignBytes(&privateKey, unlocked->length, unlocked->data);
    return status;
}

int32_t CCredential::UnlockPrivateKeyText(const char* pemKey, const char* password) {
    qm::EngineBuffer decoded;
    status = qm::Engine().CV_PemDecode(TextOrEmpty(pemKey), decoded.out());
    if (status < 0) {
        qm::DropFailedOutput(decoded);
        return status;
    }
    status = UnlockPrivateKey(decoded.get(), password);
    return status;
}

CEnvelope::CEnvelope() = default;

CEnvelope::~CEnvelope() {
    ReleaseEngineText(&sealedText);
}

int32_t CEnvelope::Seal(const uint8_t* data, int length) {
    if (IsEmpty(certificate)) {
        return qm::kNoCertificate;
    }
    qm::LocalBytes input;
    status = CopyBytes(input.out(), data, length);
    if (status != 0) {
        return status;
    }
    qm::EngineBuffer sealed;
    status =
        qm::Engine().CV_EncryptForCertificate(&context, &certificate, &input.get(), sealed.out());
    input.reset();
    if (status != 0) {
        qm::DropFailedOutput(sealed);
        return status;
    }
    ReleaseEngineText(&sealedText);
    // An encoder failure is reported, not hidden behind a success with no text to hand out.
    status = qm::Engine().CV_Base64Encode(&sealed.get(), &sealedText);
    if (status != 0) {
        sealedText = nullptr;
    }
    return status;
}

CDigestCredential::CDigestCredential(const char* digestName) {
    int32_t digestId = 0;
    status = qm::Engine().CV_DigestId(TextOrEmpty(digestName), &digestId);
}
