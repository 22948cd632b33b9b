// Credentials: what the engine needs for public-key work on behalf of one party (an engine
// context, the party's certificate with a Base64 digest of it, and a private key unlocked with a
// password); the envelope, which seals a short block to the certificate's public key; and the
// digest credential, a credential created with the name of a digest algorithm.
#pragma once

#include "crypto/CryptoObject.h"

namespace qm {
class LocalBytes;
}

class CCredential : public CCryptoObject {
public:
    CCredential();
    ~CCredential() override;

    virtual int32_t SetCertificateText(const char* pemText);                         // slot 5
    virtual int32_t SetCertificate(int length, const uint8_t* der);                  // slot 6
    virtual int32_t UnlockPrivateKey(ByteBuffer encryptedKey, const char* password); // slot 7
    virtual int32_t UnlockPrivateKeyText(const char* pemKey, const char* password);  // slot 8

    const ByteBuffer& GetCertificate() const { return certificate; }
    const char* GetDigestText() const { return digestText; }
    const ByteBuffer& GetPrivateKey() const { return privateKey; }

protected:
    EngineContext context{};            // engine state (CV_ContextFree)
    ByteBuffer privateKey{0, nullptr};  // unlocked key (general allocator)
    ByteBuffer certificate{0, nullptr}; // DER bytes (general allocator)
    char* digestText = nullptr;         // Base64 digest of the certificate, id 101 (CV_Free)

private:
    // Takes a copy made by SetCertificate or SetCertificateText (`copied` is the copy's result)
    // in place of the held certificate, and digests it.
    int32_t AdoptCertificate(qm::LocalBytes& copy, int32_t copied);
};

class CEnvelope : public CCredential {
public:
    CEnvelope();
    ~CEnvelope() override;

    int32_t Seal(const uint8_t* data, int length);
    const char* GetSealedText() const { return sealedText; }

protected:
    char* sealedText = nullptr; // Base64 of the last Seal result (CV_Free)
};

class CDigestCredential : public CCredential {
public:
    explicit CDigestCredential(const char* digestName);
};
