// Public-key work on behalf of one party: sealing data to a recipient's certificate (CMS
// EnvelopedData) and unlocking a password-protected private key (PKCS#8).
#include "engine/core/internal.h"
#include "engine/core/passwords.h"

#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <optional>

namespace corvane {
namespace {

// Sets how the content key reaches the recipient: RSAES-OAEP with SHA-256 (and MGF1 with
// SHA-256) rather than OpenSSL's PKCS#1 v1.5 default, and for EC keys the X9.63 KDF with
// SHA-256 rather than its SHA-1 default. A server with OpenSSL reads both from the message.
bool ChooseKeyTransport(EVP_PKEY_CTX* pctx, bool rsa) {
    if (rsa) {
        return EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
               EVP_PKEY_CTX_set_rsa_oaep_md_name(pctx, "SHA256", nullptr) > 0 &&
               EVP_PKEY_CTX_set_rsa_mgf1_md_name(pctx, "SHA256", nullptr) > 0;
    }
    return EVP_PKEY_CTX_set_ecdh_kdf_md(pctx, EVP_sha256()) > 0;
}

int32_t Seal(X509* certificate, Bytes input, ByteBuffer* output) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    bool rsa = key != nullptr && EVP_PKEY_is_a(key, "RSA");
    bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
    if (!rsa && !ec) {
        return err::kUnsupportedKey;
    }
    const EVP_CIPHER* cipher = SealingCipher();
    if (cipher == nullptr) {
        return err::kAlgorithmUnavailable;
    }
    CmsPtr cms(CMS_EnvelopedData_create_ex(cipher, LibraryContext(), nullptr));
    // A new EnvelopedData starts out detached (its content carried elsewhere); the sealed
    // message must carry its content.
    if (cms == nullptr || CMS_set_detached(cms.get(), 0) != 1) {
        return err::kSealFailed;
    }
    // CMS_KEY_PARAM prepares the recipient's key context now, so that the key transport can be
    // chosen before the content key is wrapped.
    CMS_RecipientInfo* recipient = CMS_add1_recipient_cert(cms.get(), certificate, CMS_KEY_PARAM);
    if (recipient == nullptr) {
        return err::kSealFailed;
    }
    EVP_PKEY_CTX* pctx = CMS_RecipientInfo_get0_pkey_ctx(recipient);
    if (pctx == nullptr || !ChooseKeyTransport(pctx, rsa)) {
        return err::kSealFailed;
    }
    static const uint8_t kNothing = 0;
    BioPtr content(BIO_new_mem_buf(input.empty() ? &kNothing : input.data(), int(input.size())));
    if (content == nullptr) {
        throw std::bad_alloc();
    }
    if (CMS_final(cms.get(), content.get(), nullptr, CMS_BINARY) != 1) {
        return err::kSealFailed;
    }
    int length = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (length <= 0) {
        return err::kSealFailed;
    }
    Block block{size_t(length)};
    unsigned char* p = block.data();
    if (i2d_CMS_ContentInfo(cms.get(), &p) != length) {
        return err::kSealFailed;
    }
    return block.HandOut(size_t(length), output);
}

int AlgorithmNid(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    return OBJ_obj2nid(oid);
}

bool IsKnownKeyEncryption(const X509_ALGOR* algorithm) {
    return EVP_PBE_find(EVP_PBE_TYPE_OUTER, AlgorithmNid(algorithm), nullptr, nullptr, nullptr) ==
           1;
}

// The most that deriving a stored key's encryption key may cost. A planted key file chooses the
// numbers and every page that proves a password pays for them, so anything above is refused
// before any derivation runs. README.md ("What a key file may ask for") says why these figures.
constexpr uint64_t kMaxIterations = 1'000'000;   // PBKDF2, the PKCS#12 PBEs and PBES1
constexpr uint64_t kMaxScryptMemory = 32u << 20; // 128 * r * N bytes (OpenSSL's own limit)
constexpr uint64_t kMaxScryptWork = 1u << 20;    // N * r * p blocks mixed

template <typename T, auto Free>
OpenSslPtr<T, Free> UnpackParameters(const X509_ALGOR* algorithm, const ASN1_ITEM* item) {
    int type = V_ASN1_UNDEF;
    const void* value = nullptr;
    X509_ALGOR_get0(nullptr, &type, &value, algorithm);
    if (type != V_ASN1_SEQUENCE || value == nullptr) {
        return nullptr;
    }
    return OpenSslPtr<T, Free>(
        static_cast<T*>(ASN1_item_unpack(static_cast<const ASN1_STRING*>(value), item)));
}

// The number, when it is one from 1 to `limit`.
bool ReadCount(const ASN1_INTEGER* number, uint64_t limit, uint64_t* value) {
    return number != nullptr && ASN1_INTEGER_get_uint64(value, number) == 1 && *value >= 1 &&
           *value <= limit;
}

bool ScryptWithinCaps(const SCRYPT_PARAMS& params) {
    uint64_t n = 0;
    uint64_t r = 0;
    uint64_t p = 0;
    // Each factor is at most the work cap, so neither product below can overflow.
    return ReadCount(params.costParameter, kMaxScryptWork, &n) &&
           ReadCount(params.blockSize, kMaxScryptWork, &r) &&
           ReadCount(params.parallelizationParameter, kMaxScryptWork, &p) &&
           128 * r * n <= kMaxScryptMemory && n * r * p <= kMaxScryptWork;
}

// 0 when deriving the key's encryption key stays within the caps; kUnsupportedKeyEncryption when
// it would not (or names a derivation the engine does not know); kBadPrivateKey when its
// parameters cannot be read.
int32_t CheckDerivationCost(const X509_ALGOR* algorithm) {
    uint64_t count = 0;
    if (AlgorithmNid(algorithm) != NID_pbes2) {
        // PBES1 and the PKCS#12 PBEs: a salt and an iteration count.
        auto pbe = UnpackParameters<PBEPARAM, PBEPARAM_free>(algorithm, ASN1_ITEM_rptr(PBEPARAM));
        if (pbe == nullptr) {
            return err::kBadPrivateKey;
        }
        return ReadCount(pbe->iter, kMaxIterations, &count) ? 0 : err::kUnsupportedKeyEncryption;
    }
    auto pbes2 = UnpackParameters<PBE2PARAM, PBE2PARAM_free>(algorithm, ASN1_ITEM_rptr(PBE2PARAM));
    if (pbes2 == nullptr || pbes2->keyfunc == nullptr) {
        return err::kBadPrivateKey;
    }
    switch (AlgorithmNid(pbes2->keyfunc)) {
    case NID_id_pbkdf2: {
        auto kdf = UnpackParameters<PBKDF2PARAM, PBKDF2PARAM_free>(pbes2->keyfunc,
                                                                   ASN1_ITEM_rptr(PBKDF2PARAM));
        if (kdf == nullptr) {
            return err::kBadPrivateKey;
        }
        return ReadCount(kdf->iter, kMaxIterations, &count) ? 0 : err::kUnsupportedKeyEncryption;
    }
    case NID_id_scrypt: {
        auto kdf = UnpackParameters<SCRYPT_PARAMS, SCRYPT_PARAMS_free>(
            pbes2->keyfunc, ASN1_ITEM_rptr(SCRYPT_PARAMS));
        if (kdf == nullptr) {
            return err::kBadPrivateKey;
        }
        return ScryptWithinCaps(*kdf) ? 0 : err::kUnsupportedKeyEncryption;
    }
    default:
        return err::kUnsupportedKeyEncryption;
    }
}

// Whether the key may be handed out on a context with this certificate: any key when the context
// was given none, else only the key whose public half the certificate carries.
bool BelongsToCertificate(const CertificateKey& certificate, EVP_PKEY* key) {
    if (!certificate.given) {
        return true;
    }
    const unsigned char* p = certificate.publicKey.data();
    PkeyPtr publicKey(certificate.publicKey.empty()
                          ? nullptr
                          : d2i_PUBKEY_ex(nullptr, &p, long(certificate.publicKey.size()),
                                          LibraryContext(), nullptr));
    return publicKey != nullptr && EVP_PKEY_eq(publicKey.get(), key) == 1;
}

bool HalvesAgree(EVP_PKEY* key) {
    using PkeyCtxPtr = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(LibraryContext(), key, nullptr));
    if (ctx == nullptr) {
        throw std::bad_alloc();
    }
    int rc = EVP_PKEY_pairwise_check(ctx.get());
    return rc == 1 || rc == -2; // -2: the key's algorithm offers no such check
}

struct OpenedKey {
    Pkcs8Ptr info;
    PkeyPtr key;
};

// The key when `password` opens it and its halves agree; nothing otherwise.
std::optional<OpenedKey> Decrypt(const X509_SIG* sig, Bytes password) {
    // OpenSSL wipes its own decryption buffer; the decrypted key lives only in p8 (whose key
    // octets are cleared when it is freed), in the EVP_PKEY (cleared likewise) and in the output
    // block (wiped by CV_Free).
    Pkcs8Ptr p8(PKCS8_decrypt_ex(sig, reinterpret_cast<const char*>(password.data()),
                                 int(password.size()), LibraryContext(), nullptr));
    if (p8 == nullptr) {
        return std::nullopt;
    }
    // A wrong password slips past the padding check about once in 256 tries, and damage inside
    // the ciphertext may leave the padding intact and the DER well formed (a key's numbers are
    // any bytes). Only a key that loads and whose private and public halves agree is handed out.
    PkeyPtr key(EVP_PKCS82PKEY_ex(p8.get(), LibraryContext(), nullptr));
    if (key == nullptr || !HalvesAgree(key.get())) {
        return std::nullopt;
    }
    return OpenedKey{std::move(p8), std::move(key)};
}

// Opens the key with the first of the password's spellings (at most two) that opens it. The key's
// file is read and its derivation checked against the caps once, before any spelling is tried.
int32_t Unlock(Bytes encrypted, std::span<const Bytes> spellings, const CertificateKey& certificate,
               ByteBuffer* output) {
    const unsigned char* p = encrypted.data();
    X509SigPtr sig(d2i_X509_SIG(nullptr, &p, long(encrypted.size())));
    if (sig == nullptr || p != encrypted.data() + encrypted.size()) {
        return err::kBadPrivateKey;
    }
    const X509_ALGOR* algorithm = nullptr;
    X509_SIG_get0(sig.get(), &algorithm, nullptr);
    if (!IsKnownKeyEncryption(algorithm)) {
        return err::kUnsupportedKeyEncryption;
    }
    if (int32_t rc = CheckDerivationCost(algorithm); rc != 0) {
        return rc;
    }
    std::optional<OpenedKey> opened;
    for (Bytes password : spellings) {
        opened = Decrypt(sig.get(), password);
        if (opened) {
            break;
        }
    }
    if (!opened) {
        return err::kWrongPassword;
    }
    // A medium may hold someone's certificate beside another's key: the password of that key
    // proves nothing about the certificate.
    if (!BelongsToCertificate(certificate, opened->key.get())) {
        return err::kKeyNotForCertificate;
    }
    PKCS8_PRIV_KEY_INFO* p8 = opened->info.get();
    int length = i2d_PKCS8_PRIV_KEY_INFO(p8, nullptr);
    if (length <= 0) {
        return err::kInternal;
    }
    Block block{size_t(length)};
    unsigned char* out = block.data();
    if (i2d_PKCS8_PRIV_KEY_INFO(p8, &out) != length) {
        return err::kInternal;
    }
    return block.HandOut(size_t(length), output);
}

// The checks of CV_DecryptPrivateKey's arguments, then Unlock with the password as given and,
// when there is one, its other spelling.
int32_t DecryptPrivateKey(EngineContext* context, const ByteBuffer* encryptedKey,
                          const ByteBuffer* password, const ByteBuffer* otherSpelling,
                          uint32_t codePage, ByteBuffer* output) {
    if (output == nullptr) {
        return err::kNullArgument;
    }
    *output = ByteBuffer{0, nullptr};
    if (int32_t rc = CheckContext(context); rc != 0) {
        return rc;
    }
    Bytes encrypted;
    Bytes secret;
    Bytes other;
    if (int32_t rc = ReadInput(encryptedKey, false, encrypted); rc != 0) {
        return rc;
    }
    if (int32_t rc = ReadInput(password, false, secret); rc != 0) {
        return rc;
    }
    if (otherSpelling != nullptr) {
        if (int32_t rc = ReadInput(otherSpelling, true, other); rc != 0) {
            return rc;
        }
    }
    if (LibraryContext() == nullptr) {
        return err::kLibraryUnavailable;
    }
    // A page's password arrives in its process's ANSI code page; a key encrypted by ledra-tool
    // or OpenSSL's tools is under its UTF-8 bytes.
    std::optional<WipedBytes> converted;
    if (other.empty() && !IsAscii(secret)) {
        converted = Utf8FromCodePage(secret, codePage);
        if (converted && converted->size() != 0) {
            other = converted->span();
        }
    }
    Bytes spellings[] = {secret, other};
    bool twoWays = !other.empty() && !std::ranges::equal(secret, other);
    return Unlock(encrypted, std::span(spellings, twoWays ? 2 : 1), GetCertificateKey(context),
                  output);
}

} // namespace

int32_t CV_EncryptForCertificate(EngineContext* context, const ByteBuffer* certificate,
                                 const ByteBuffer* input, ByteBuffer* output) noexcept {
    return Guarded([&]() -> int32_t {
        if (output == nullptr) {
            return err::kNullArgument;
        }
        *output = ByteBuffer{0, nullptr};
        if (int32_t rc = CheckContext(context); rc != 0) {
            return rc;
        }
        Bytes der;
        Bytes in;
        if (int32_t rc = ReadInput(certificate, false, der); rc != 0) {
            return rc;
        }
        if (int32_t rc = ReadInput(input, true, in); rc != 0) {
            return rc;
        }
        X509Ptr cert;
        if (int32_t rc = ParseInputCertificate(der, &cert); rc != 0) {
            return rc;
        }
        return Seal(cert.get(), in, output);
    });
}

int32_t CV_DecryptPrivateKey(EngineContext* context, const ByteBuffer* encryptedKey,
                             const ByteBuffer* password, ByteBuffer* output) noexcept {
    return DecryptPrivateKeyInCodePage(context, encryptedKey, password, AnsiCodePage(), output);
}

int32_t DecryptPrivateKeyInCodePage(EngineContext* context, const ByteBuffer* encryptedKey,
                                    const ByteBuffer* password, uint32_t codePage,
                                    ByteBuffer* output) noexcept {
    return Guarded([&] {
        return DecryptPrivateKey(context, encryptedKey, password, nullptr, codePage, output);
    });
}

int32_t DecryptPrivateKeyEitherWay(EngineContext* context, const ByteBuffer* encryptedKey,
                                   const ByteBuffer* password, const ByteBuffer* otherSpelling,
                                   ByteBuffer* output) noexcept {
    return Guarded([&] {
        return DecryptPrivateKey(context, encryptedKey, password, otherSpelling, 0, output);
    });
}

} // namespace corvane
