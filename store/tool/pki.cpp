#include "store/tool/pki.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <ctime>

namespace ledra::pki {
namespace {

// Iterations of PBKDF2 for the store's keys: slow for a guesser, still quick to open once.
constexpr int kPbkdf2Iterations = 100000;
// The private extension that pads test certificates to a chosen size.
constexpr const char* kPaddingOid = "1.3.6.1.4.1.99999.7.1";

using qm::BioPtr;

BioPtr MemoryBio(std::span<const uint8_t> bytes) {
    if (bytes.size() > INT_MAX) {
        throw Error("the input is too large");
    }
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) {
        throw Error("out of memory");
    }
    return bio;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool LooksLikePem(std::span<const uint8_t> bytes) {
    static const char kMarker[] = "-----BEGIN ";
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return text.find(kMarker) != std::string_view::npos;
}

bool PemHasLabel(std::span<const uint8_t> bytes, const char* label) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return text.find(std::string("-----BEGIN ") + label + "-----") != std::string_view::npos;
}

int PasswordCallback(char* buffer, int size, int /*rwflag*/, void* userdata) {
    const Secret* password = static_cast<const Secret*>(userdata);
    if (password == nullptr || password->empty()) {
        return -1;
    }
    size_t n = password->size();
    if (n > static_cast<size_t>(size)) {
        return -1;
    }
    std::memcpy(buffer, password->data(), n);
    return static_cast<int>(n);
}

void Check(int ok, const std::string& what) {
    if (ok != 1) {
        throw Error(what + ": " + OpenSslReason());
    }
}

ASN1_TIME* SetTime(ASN1_TIME* t, int64_t seconds) {
    return ASN1_TIME_set(t, static_cast<time_t>(seconds));
}

X509_NAME* NewName(const NameParts& parts) {
    X509_NAME* name = X509_NAME_new();
    if (name == nullptr) {
        throw Error("out of memory");
    }
    for (const auto& [field, value] : parts) {
        if (X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), -1, 0) != 1) {
            X509_NAME_free(name);
            throw Error("cannot use the name component " + field + "=" + value + ": " +
                        OpenSslReason());
        }
    }
    return name;
}

void SetRandomSerial(X509* cert) {
    unsigned char bytes[16];
    Check(RAND_bytes(bytes, sizeof(bytes)), "cannot make a serial number");
    bytes[0] &= 0x7F; // positive
    bytes[0] |= 0x01; // and of full length
    BIGNUM* bn = BN_bin2bn(bytes, sizeof(bytes), nullptr);
    bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
    BN_free(bn);
    if (!ok) {
        throw Error("cannot set a serial number");
    }
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (ext == nullptr) {
        throw Error(std::string("cannot make the extension ") + OBJ_nid2sn(nid) + ": " +
                    OpenSslReason());
    }
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    Check(ok, "cannot add an extension");
}

void AddPadding(X509* cert, size_t bytes) {
    std::vector<unsigned char> fill(bytes, 'P');
    ASN1_OCTET_STRING* inner = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING* outer = ASN1_OCTET_STRING_new();
    ASN1_OBJECT* oid = OBJ_txt2obj(kPaddingOid, 1);
    unsigned char* der = nullptr;
    int derLength = -1;
    X509_EXTENSION* ext = nullptr;
    if (inner != nullptr && outer != nullptr && oid != nullptr &&
        ASN1_OCTET_STRING_set(inner, fill.data(), static_cast<int>(fill.size())) == 1) {
        derLength = i2d_ASN1_OCTET_STRING(inner, &der);
    }
    if (derLength > 0 && ASN1_OCTET_STRING_set(outer, der, derLength) == 1) {
        ext = X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, outer);
    }
    int ok = ext != nullptr ? X509_add_ext(cert, ext, -1) : 0;
    X509_EXTENSION_free(ext);
    OPENSSL_free(der);
    ASN1_OBJECT_free(oid);
    ASN1_OCTET_STRING_free(outer);
    ASN1_OCTET_STRING_free(inner);
    Check(ok, "cannot add the padding extension");
}

const EVP_MD* DigestFor(EVP_PKEY* key) {
    // Ed25519 and Ed448 sign the message itself; everything else signs its SHA-256.
    int id = EVP_PKEY_get_base_id(key);
    return id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448 ? nullptr : EVP_sha256();
}

} // namespace

std::string OpenSslReason() {
    unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown reason";
    }
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "error " + std::to_string(code);
}

X509Ptr ReadCertificate(std::span<const uint8_t> bytes) {
    if (LooksLikePem(bytes)) {
        BioPtr bio = MemoryBio(bytes);
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert) {
            throw Error("no certificate in the PEM text: " + OpenSslReason());
        }
        return cert;
    }
    X509Ptr cert = ParseCertificate(bytes);
    if (!cert) {
        ERR_clear_error();
        throw Error("not a certificate (neither PEM nor DER)");
    }
    return cert;
}

KeyInput ReadPrivateKey(std::span<const uint8_t> bytes, const Secret& password) {
    KeyInput input;
    if (LooksLikePem(bytes)) {
        if (PemHasLabel(bytes, "ENCRYPTED PRIVATE KEY")) {
            BioPtr bio = MemoryBio(bytes);
            X509_SIG* sig = PEM_read_bio_PKCS8(bio.get(), nullptr, nullptr, nullptr);
            if (sig == nullptr) {
                throw Error("the encrypted private key's PEM text is damaged: " + OpenSslReason());
            }
            unsigned char* der = nullptr;
            int n = i2d_X509_SIG(sig, &der);
            X509_SIG_free(sig);
            if (n <= 0) {
                throw Error("cannot encode the encrypted private key");
            }
            input.encrypted = WipedBytes(static_cast<size_t>(n));
            std::memcpy(input.encrypted.data(), der, static_cast<size_t>(n));
            OPENSSL_clear_free(der, static_cast<size_t>(n));
            return input;
        }
        BioPtr bio = MemoryBio(bytes);
        input.key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, PasswordCallback,
                                                const_cast<Secret*>(&password)));
        if (!input.key) {
            throw Error("cannot read the private key (a legacy encrypted key needs --key-pass): " +
                        OpenSslReason());
        }
        return input;
    }
    if (IsEncryptedPrivateKey(bytes)) {
        input.encrypted = WipedBytes(bytes.size());
        std::memcpy(input.encrypted.data(), bytes.data(), bytes.size());
        return input;
    }
    const unsigned char* p = bytes.data();
    input.key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bytes.size())));
    if (!input.key || p != bytes.data() + bytes.size()) {
        ERR_clear_error();
        throw Error("not a private key (PEM, PKCS#8 DER or encrypted PKCS#8 DER)");
    }
    return input;
}

std::pair<PkeyPtr, X509Ptr> ReadPkcs12(std::span<const uint8_t> bytes, const Secret& password) {
    BioPtr bio = MemoryBio(bytes);
    PKCS12* p12 = d2i_PKCS12_bio(bio.get(), nullptr);
    if (p12 == nullptr) {
        throw Error("not a PKCS#12 file: " + OpenSslReason());
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    int ok = PKCS12_parse(p12, password.c_str(), &key, &cert, &chain);
    PKCS12_free(p12);
    sk_X509_pop_free(chain, X509_free);
    PkeyPtr keyPtr(key);
    X509Ptr certPtr(cert);
    if (ok != 1) {
        throw Error("cannot open the PKCS#12 file (wrong password?): " + OpenSslReason());
    }
    if (!keyPtr || !certPtr) {
        throw Error("the PKCS#12 file lacks a private key or its certificate");
    }
    return {std::move(keyPtr), std::move(certPtr)};
}

PkeyPtr GenerateRsa(int bits) {
    PkeyPtr key(EVP_RSA_gen(static_cast<unsigned int>(bits)));
    if (!key) {
        throw Error("cannot generate an RSA key: " + OpenSslReason());
    }
    return key;
}

PkeyPtr GenerateEd25519() {
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) {
        throw Error("cannot generate an Ed25519 key: " + OpenSslReason());
    }
    return key;
}

WipedBytes EncryptPrivateKey(EVP_PKEY* key, const Secret& password) {
    if (password.empty()) {
        throw Error("a key is never stored without a password");
    }
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    if (info == nullptr) {
        throw Error("cannot encode the private key: " + OpenSslReason());
    }
    X509_ALGOR* pbe = PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), kPbkdf2Iterations, nullptr, 0, nullptr,
                                        NID_hmacWithSHA256);
    X509_SIG* sig = pbe != nullptr ? PKCS8_set0_pbe(password.c_str(),
                                                    static_cast<int>(password.size()), info, pbe)
                                   : nullptr;
    PKCS8_PRIV_KEY_INFO_free(info);
    if (sig == nullptr) {
        X509_ALGOR_free(pbe);
        throw Error("cannot encrypt the private key: " + OpenSslReason());
    }
    unsigned char* der = nullptr;
    int n = i2d_X509_SIG(sig, &der);
    X509_SIG_free(sig);
    if (n <= 0) {
        throw Error("cannot encode the encrypted private key");
    }
    WipedBytes out(static_cast<size_t>(n));
    std::memcpy(out.data(), der, static_cast<size_t>(n));
    OPENSSL_free(der);
    return out;
}

PkeyPtr DecryptPrivateKey(std::span<const uint8_t> der, const Secret& password) {
    const unsigned char* p = der.data();
    X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size()));
    if (sig == nullptr) {
        ERR_clear_error();
        return nullptr;
    }
    PKCS8_PRIV_KEY_INFO* info =
        PKCS8_decrypt(sig, password.c_str(), static_cast<int>(password.size()));
    X509_SIG_free(sig);
    if (info == nullptr) {
        ERR_clear_error();
        return nullptr;
    }
    PkeyPtr key(EVP_PKCS82PKEY(info));
    PKCS8_PRIV_KEY_INFO_free(info);
    ERR_clear_error();
    return key;
}

bool KeyMatchesCertificate(EVP_PKEY* key, X509* cert) {
    bool match = X509_check_private_key(cert, key) == 1;
    ERR_clear_error();
    return match;
}

X509Ptr IssueCertificate(const CertificateRequest& r) {
    X509Ptr cert(X509_new());
    if (!cert) {
        throw Error("out of memory");
    }
    Check(X509_set_version(cert.get(), X509_VERSION_3), "cannot set the version");
    SetRandomSerial(cert.get());
    X509_NAME* subject = NewName(r.subject);
    int ok = X509_set_subject_name(cert.get(), subject);
    X509_NAME_free(subject);
    Check(ok, "cannot set the subject");
    X509* issuer = r.issuer != nullptr ? r.issuer : cert.get();
    EVP_PKEY* signer = r.issuerKey != nullptr ? r.issuerKey : r.key;
    Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)), "cannot set the issuer");
    if (SetTime(X509_getm_notBefore(cert.get()), r.notBefore) == nullptr ||
        SetTime(X509_getm_notAfter(cert.get()), r.notAfter) == nullptr) {
        throw Error("cannot set the validity period");
    }
    Check(X509_set_pubkey(cert.get(), r.key), "cannot set the public key");

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert.get(), nullptr, nullptr, 0);
    AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    if (r.issuer != nullptr) {
        AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
    }
    switch (r.profile) {
    case Profile::Ca:
        AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
        break;
    case Profile::User:
        AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), &ctx, NID_key_usage,
                     "critical,digitalSignature,nonRepudiation,keyEncipherment");
        break;
    case Profile::Server:
        AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), &ctx, NID_key_usage,
                     "critical,digitalSignature,keyEncipherment,keyAgreement");
        AddExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth");
        break;
    }
    if (r.padding > 0) {
        AddPadding(cert.get(), r.padding);
    }
    if (X509_sign(cert.get(), signer, DigestFor(signer)) <= 0) {
        throw Error("cannot sign the certificate: " + OpenSslReason());
    }
    return cert;
}

X509CrlPtr IssueCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<Revocation>& revoked,
                    int64_t thisUpdate, int64_t nextUpdate, long number) {
    X509CrlPtr crl(X509_CRL_new());
    if (!crl) {
        throw Error("out of memory");
    }
    Check(X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2), "cannot set the CRL version");
    Check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer)),
          "cannot set the CRL issuer");
    ASN1_TIME* t = ASN1_TIME_new();
    bool ok = t != nullptr && SetTime(t, thisUpdate) != nullptr &&
              X509_CRL_set1_lastUpdate(crl.get(), t) == 1 && SetTime(t, nextUpdate) != nullptr &&
              X509_CRL_set1_nextUpdate(crl.get(), t) == 1;
    ASN1_TIME_free(t);
    if (!ok) {
        throw Error("cannot set the CRL's dates");
    }
    for (const Revocation& r : revoked) {
        X509_REVOKED* entry = X509_REVOKED_new();
        ASN1_TIME* when = ASN1_TIME_new();
        ASN1_ENUMERATED* reason = ASN1_ENUMERATED_new();
        bool added = entry != nullptr && when != nullptr && reason != nullptr &&
                     X509_REVOKED_set_serialNumber(
                         entry, const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(r.cert))) == 1 &&
                     SetTime(when, r.when) != nullptr &&
                     X509_REVOKED_set_revocationDate(entry, when) == 1 &&
                     ASN1_ENUMERATED_set(reason, r.reason) == 1 &&
                     X509_REVOKED_add1_ext_i2d(entry, NID_crl_reason, reason, 0, 0) == 1 &&
                     X509_CRL_add0_revoked(crl.get(), entry) == 1;
        ASN1_ENUMERATED_free(reason);
        ASN1_TIME_free(when);
        if (!added) {
            X509_REVOKED_free(entry);
            throw Error("cannot add a revoked certificate to the CRL: " + OpenSslReason());
        }
    }
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, nullptr, nullptr, crl.get(), 0);
    X509_EXTENSION* aki =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid:always");
    int akiOk = aki != nullptr ? X509_CRL_add_ext(crl.get(), aki, -1) : 0;
    X509_EXTENSION_free(aki);
    Check(akiOk, "cannot add the CRL's authority key identifier");
    ASN1_INTEGER* crlNumber = ASN1_INTEGER_new();
    int numberOk = crlNumber != nullptr && ASN1_INTEGER_set(crlNumber, number) == 1 &&
                           X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, crlNumber, 0, 0) == 1
                       ? 1
                       : 0;
    ASN1_INTEGER_free(crlNumber);
    Check(numberOk, "cannot add the CRL number");
    X509_CRL_sort(crl.get());
    if (X509_CRL_sign(crl.get(), issuerKey, DigestFor(issuerKey)) <= 0) {
        throw Error("cannot sign the CRL: " + OpenSslReason());
    }
    return crl;
}

std::vector<uint8_t> Der(const X509* cert) {
    unsigned char* der = nullptr;
    int n = i2d_X509(cert, &der);
    if (n <= 0) {
        throw Error("cannot encode the certificate");
    }
    std::vector<uint8_t> out(der, der + n);
    OPENSSL_free(der);
    return out;
}

std::string Pem(const X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
        throw Error("cannot write the certificate as PEM");
    }
    return BioText(bio.get());
}

std::string Pem(const X509_CRL* crl) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509_CRL(bio.get(), crl) != 1) {
        throw Error("cannot write the CRL as PEM");
    }
    return BioText(bio.get());
}

std::string PemPrivateKey(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (!bio ||
        PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        throw Error("cannot write the private key as PEM");
    }
    return BioText(bio.get());
}

} // namespace ledra::pki
