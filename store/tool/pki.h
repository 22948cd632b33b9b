// The OpenSSL work of the store tool: reading certificates and keys in their usual forms,
// encrypting keys for the store, and issuing the certificates and revocation lists of a PKI.
// Failures throw pki::Error with a message meant for the person at the command line.
#pragma once

#include "store/core/certificate.h"
#include "store/core/layout.h"

#include "platform/SecureWipe.h"

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

using qm::PkeyPtr;
using qm::X509CrlPtr;

// A password held in memory that is wiped when it is released.
using Secret = qm::WipedText;

// The newest OpenSSL error as text (and the queue emptied), for messages.
std::string OpenSslReason();

// --- reading -------------------------------------------------------------------------------

// A certificate from PEM or DER bytes.
X509Ptr ReadCertificate(std::span<const uint8_t> bytes);

// What a key file held: an EncryptedPrivateKeyInfo kept as its DER, or a key in the clear.
struct KeyInput {
    WipedBytes encrypted; // set for an encrypted PKCS#8 key
    PkeyPtr key;          // set for a key in the clear (or a legacy PEM decrypted with `password`)
};

// A private key from PEM ("ENCRYPTED PRIVATE KEY", "PRIVATE KEY", "RSA/EC PRIVATE KEY", legacy
// encrypted PEM with `password`) or DER (EncryptedPrivateKeyInfo or PKCS#8 or traditional).
KeyInput ReadPrivateKey(std::span<const uint8_t> bytes, const Secret& password);

// A PKCS#12 file's key and certificate.
std::pair<PkeyPtr, X509Ptr> ReadPkcs12(std::span<const uint8_t> bytes, const Secret& password);

// --- keys ----------------------------------------------------------------------------------

PkeyPtr GenerateRsa(int bits);
PkeyPtr GenerateEd25519();

// PKCS#8 EncryptedPrivateKeyInfo (DER) of the key: PBES2 with AES-256-CBC and PBKDF2
// (HMAC-SHA256).
WipedBytes EncryptPrivateKey(EVP_PKEY* key, const Secret& password);

// The key inside an EncryptedPrivateKeyInfo, or nothing when the password is wrong.
PkeyPtr DecryptPrivateKey(std::span<const uint8_t> der, const Secret& password);

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

X509CrlPtr IssueCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<Revocation>& revoked,
                    int64_t thisUpdate, int64_t nextUpdate, long number);

// --- encodings -----------------------------------------------------------------------------

std::vector<uint8_t> Der(const X509* cert);
std::string Pem(const X509* cert);
std::string Pem(const X509_CRL* crl);
// PKCS#8 "PRIVATE KEY" PEM, in the clear.
std::string PemPrivateKey(EVP_PKEY* key);

} // namespace ledra::pki
