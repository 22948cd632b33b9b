// The OpenSSL work of the store tool: reading certificates and keys in their usual forms,
// encrypting keys for the store, and issuing the certificates and revocation lists of a PKI.
// Failures throw pki::Error with a message meant for the person at the command line.
#pragma once

#include "store/core/certificate.h"
#include "store/core/layout.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ledra::pki {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CrlFree {
    void operator()(X509_CRL* c) const { X509_CRL_free(c); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CrlPtr = std::unique_ptr<X509_CRL, CrlFree>;

// A password held in memory that is wiped when it is released.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string text) : text_(std::move(text)) {}
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret();
    const std::string& text() const { return text_; }
    bool empty() const { return text_.empty(); }

private:
    std::string text_;
};

// The newest OpenSSL error as text (and the queue emptied), for messages.
std::string OpenSslReason();

// --- reading -------------------------------------------------------------------------------

// A certificate from PEM or DER bytes.
X509Ptr ReadCertificate(std::span<const uint8_t> bytes);

// What a key file held: an EncryptedPrivateKeyInfo kept as its DER, or a key in the clear.
struct KeyInput {
    WipedBytes encrypted; // set for an encrypted PKCS#8 key
    KeyPtr key;           // set for a key in the clear (or a legacy PEM decrypted with `password`)
};

// A private key from PEM ("ENCRYPTED PRIVATE KEY", "PRIVATE KEY", "RSA/EC PRIVATE KEY", legacy
// encrypted PEM with `password`) or DER (EncryptedPrivateKeyInfo or PKCS#8 or traditional).
KeyInput ReadPrivateKey(std::span<const uint8_t> bytes, const Secret& password);

// A PKCS#12 file's key and certificate.
std::pair<KeyPtr, X509Ptr> ReadPkcs12(std::span<const uint8_t> bytes, const Secret& password);

// --- keys ----------------------------------------------------------------------------------

KeyPtr GenerateRsa(int bits);
KeyPtr GenerateEd25519();

// PKCS#8 EncryptedPrivateKeyInfo (DER) of the key: PBES2 with AES-256-CBC and PBKDF2
// (HMAC-SHA256).
WipedBytes EncryptPrivateKey(EVP_PKEY* key, const Secret& password);

// The key inside an EncryptedPrivateKeyInfo, or nothing when the password is wrong.
KeyPtr DecryptPrivateKey(std::span<const uint8_t> der, const Secret& password);

bool KeyMatchesCertificate(EVP_PKEY* key, X509* cert);

// --- issuing -------------------------------------------------------------------------------

// A name in DER order (country first), e.g. {{"C","KR"},{"O","Quillmark Demo"},{"CN","홍길동"}};
// values are UTF-8.
using NameParts = std::vector<std::pair<std::string, std::string>>;

enum class Profile { Ca, User, Server };

struct CertificateRequest {
    NameParts subject;
    EVP_PKEY* key = nullptr;       // the subject's key (its public half goes in)
    X509* issuer = nullptr;        // null: self-signed
    EVP_PKEY* issuerKey = nullptr; // null: `key`
    int64_t notBefore = 0;         // seconds since 1970
    int64_t notAfter = 0;
    Profile profile = Profile::User;
    size_t padding = 0; // bytes of a private, non-critical extension (to reach a given size)
};

X509Ptr IssueCertificate(const CertificateRequest& request);

struct Revocation {
    const X509* cert;
    int reason; // CRL_REASON_*
    int64_t when;
};

CrlPtr IssueCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<Revocation>& revoked,
                int64_t thisUpdate, int64_t nextUpdate, long number);

// --- encodings -----------------------------------------------------------------------------

std::vector<uint8_t> Der(const X509* cert);
std::string Pem(const X509* cert);
std::string Pem(const X509_CRL* crl);
// PKCS#8 "PRIVATE KEY" PEM, in the clear.
std::string PemPrivateKey(EVP_PKEY* key);

} // namespace ledra::pki
