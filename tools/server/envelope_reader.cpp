#include "tools/server/envelope_reader.h"

#include "platform/Base64.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <iconv.h>

#include <cctype>
#include <cstring>
#include <memory>

namespace server {

namespace {

using Cipher = qm::OpenSslPtr<EVP_CIPHER, EVP_CIPHER_free>;
using OaepParams = qm::OpenSslPtr<RSA_OAEP_PARAMS, RSA_OAEP_PARAMS_free>;
using Algor = qm::OpenSslPtr<X509_ALGOR, X509_ALGOR_free>;
using Decoder = qm::OpenSslPtr<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;

// SEED and single DES live in OpenSSL's legacy provider. Loaded once, and unloaded when the
// process ends, before OpenSSL's own clean-up, so that nothing of them is left behind.
void LoadProviders() {
    struct Providers {
        OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
        ~Providers() {
            if (standard != nullptr) {
                OSSL_PROVIDER_unload(standard);
            }
            if (legacy != nullptr) {
                OSSL_PROVIDER_unload(legacy);
            }
        }
    };
    static Providers providers;
}

// The key's password as OpenSSL asks for it; remembers that it was asked, which only an
// encrypted key does.
struct PasswordRequest {
    const qm::WipedText* password;
    bool asked = false;
};

int PasswordCallback(char* buffer, int size, int, void* userdata) {
    auto* request = static_cast<PasswordRequest*>(userdata);
    request->asked = true;
    if (!request->password) {
        return -1; // no prompt on a terminal: the operator says --password
    }
    int n = static_cast<int>(std::min<size_t>(request->password->size(), size_t(size)));
    std::memcpy(buffer, request->password->data(), size_t(n));
    return n;
}

// The DER of an algorithm identifier's parameters, when it names `nid` with a SEQUENCE.
bool SequenceParameters(const X509_ALGOR* algorithm, int nid, const unsigned char** der,
                        long* length) {
    const ASN1_OBJECT* oid = nullptr;
    int type = V_ASN1_UNDEF;
    const void* value = nullptr;
    X509_ALGOR_get0(&oid, &type, &value, algorithm);
    if (OBJ_obj2nid(oid) != nid || type != V_ASN1_SEQUENCE || value == nullptr) {
        return false;
    }
    const auto* sequence = static_cast<const ASN1_STRING*>(value);
    *der = ASN1_STRING_get0_data(sequence);
    *length = ASN1_STRING_length(sequence);
    return true;
}

bool IsSha256(const X509_ALGOR* algorithm) {
    if (algorithm == nullptr) {
        return false; // absent: SHA-1, OAEP's default
    }
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    return OBJ_obj2nid(oid) == NID_sha256;
}

// RSAES-OAEP with SHA-256 and MGF1 with SHA-256, as Quillmark's engine seals.
bool IsOaepWithSha256(const X509_ALGOR* transport) {
    const unsigned char* der = nullptr;
    long length = 0;
    if (!SequenceParameters(transport, NID_rsaesOaep, &der, &length)) {
        return false;
    }
    OaepParams oaep(d2i_RSA_OAEP_PARAMS(nullptr, &der, length));
    if (!oaep || !IsSha256(oaep->hashFunc) || oaep->maskGenFunc == nullptr ||
        !SequenceParameters(oaep->maskGenFunc, NID_mgf1, &der, &length)) {
        return false;
    }
    Algor maskHash(d2i_X509_ALGOR(nullptr, &der, length));
    return IsSha256(maskHash.get());
}

// Quillmark seals the session key in one way for RSA keys and one for EC keys, and a server
// takes no other: every other key transport is one more way to question the server's key. Above
// all PKCS#1 v1.5, whose padding check is an oracle on the key (Bleichenbacher's attack), so it is
// refused before the key is ever used.
bool SealedAsQuillmarkSeals(CMS_ContentInfo* cms) {
    STACK_OF(CMS_RecipientInfo)* recipients = CMS_get0_RecipientInfos(cms);
    if (recipients == nullptr || sk_CMS_RecipientInfo_num(recipients) == 0) {
        return false;
    }
    for (int i = 0; i < sk_CMS_RecipientInfo_num(recipients); ++i) {
        CMS_RecipientInfo* recipient = sk_CMS_RecipientInfo_value(recipients, i);
        X509_ALGOR* transport = nullptr;
        int type = CMS_RecipientInfo_type(recipient);
        bool sound =
            type == CMS_RECIPINFO_AGREE ||
            (type == CMS_RECIPINFO_TRANS &&
             CMS_RecipientInfo_ktri_get0_algs(recipient, nullptr, nullptr, &transport) == 1 &&
             IsOaepWithSha256(transport));
        if (!sound) {
            return false;
        }
    }
    return true;
}

} // namespace

const Algorithm* FindAlgorithm(const std::string& name) {
    const Algorithm* algorithm = qm::FindCipher(name);
    return algorithm != nullptr && qm::CanEnvelope(*algorithm) ? algorithm : nullptr;
}

std::string AlgorithmNames() {
    std::vector<std::string> names;
    for (const Algorithm& algorithm : qm::kCiphers) {
        if (qm::CanEnvelope(algorithm)) {
            names.emplace_back(algorithm.name);
        }
    }
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return text;
}

KeyRead ReadPrivateKey(std::string_view bytes, const qm::WipedText* password, qm::PkeyPtr* key) {
    LoadProviders();
    PasswordRequest request{password};
    qm::BioPtr pem(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    key->reset(PEM_read_bio_PrivateKey(pem.get(), nullptr, PasswordCallback, &request));
    if (!*key && !request.asked) {
        // DER: PKCS#8, plain or encrypted, or a traditional key.
        EVP_PKEY* der = nullptr;
        Decoder decoder(OSSL_DECODER_CTX_new_for_pkey(&der, "DER", nullptr, nullptr,
                                                      EVP_PKEY_KEYPAIR, nullptr, nullptr));
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        size_t length = bytes.size();
        if (decoder &&
            OSSL_DECODER_CTX_set_pem_password_cb(decoder.get(), PasswordCallback, &request) &&
            OSSL_DECODER_from_data(decoder.get(), &data, &length)) {
            key->reset(der);
        }
    }
    ERR_clear_error();
    if (*key) {
        return KeyRead::kOpened;
    }
    if (request.asked) {
        return password != nullptr ? KeyRead::kWrongPassword : KeyRead::kEncrypted;
    }
    return KeyRead::kNotAKey;
}

qm::X509Ptr ReadCertificate(std::string_view bytes) {
    qm::BioPtr pem(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    qm::X509Ptr cert(PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        const auto* der = reinterpret_cast<const unsigned char*>(bytes.data());
        cert.reset(d2i_X509(nullptr, &der, static_cast<long>(bytes.size())));
    }
    ERR_clear_error();
    return cert;
}

std::optional<qm::WipedBytes> OpenSealedText(std::string_view sealedBase64, EVP_PKEY* key,
                                             X509* certificate) {
    LoadProviders();
    auto der = qm::base64::Decode(sealedBase64);
    const unsigned char* p = der ? der->data() : nullptr;
    qm::CmsPtr cms(der ? d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der->size()))
                       : nullptr);
    qm::BioPtr out(BIO_new(BIO_s_mem()));
    if (!cms || !SealedAsQuillmarkSeals(cms.get()) ||
        CMS_decrypt(cms.get(), key, certificate, nullptr, out.get(), 0) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(out.get(), &data);
    qm::WipedBytes keyMaterial(reinterpret_cast<const uint8_t*>(data), size_t(length));
    qm::SecureWipe(data, size_t(length));
    return keyMaterial;
}

std::optional<std::vector<uint8_t>> Decipher(const Algorithm& algorithm,
                                             std::span<const uint8_t> keyMaterial,
                                             std::string_view cipherBase64, std::string* error) {
    LoadProviders();
    Cipher cipher(EVP_CIPHER_fetch(nullptr, algorithm.evpName, nullptr));
    qm::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx) {
        *error = std::string("cipher unavailable: ") + algorithm.evpName;
        return std::nullopt;
    }
    // From here every failure is the texts' doing, and all of them read alike.
    auto refuse = [error]() -> std::optional<std::vector<uint8_t>> {
        ERR_clear_error();
        *error = kRefused;
        return std::nullopt;
    };
    if (keyMaterial.size() < size_t(algorithm.keyLength + algorithm.ivLength)) {
        return refuse();
    }
    auto input = qm::base64::Decode(cipherBase64);
    if (!input) {
        return refuse();
    }
    const uint8_t* key = keyMaterial.data();
    const uint8_t* iv = key + algorithm.keyLength;
    std::vector<uint8_t> plain(input->size() + 32);
    int n1 = 0;
    int n2 = 0;
    if (EVP_DecryptInit_ex2(ctx.get(), cipher.get(), key, iv, nullptr) != 1 ||
        EVP_DecryptUpdate(ctx.get(), plain.data(), &n1, input->data(),
                          static_cast<int>(input->size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), plain.data() + n1, &n2) != 1) {
        qm::SecureWipe(plain.data(), plain.size());
        return refuse();
    }
    plain.resize(size_t(n1 + n2));
    return plain;
}

bool KnowsCodePage(const std::string& codePage) {
    iconv_t cd = iconv_open("UTF-8", codePage.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    iconv_close(cd);
    return true;
}

std::string ToUtf8(const std::vector<uint8_t>& bytes, const std::string& codePage) {
    iconv_t cd = iconv_open("UTF-8", codePage.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::string(bytes.begin(), bytes.end());
    }
    std::string in(bytes.begin(), bytes.end());
    std::string out(in.size() * 4 + 4, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == size_t(-1)) {
        return std::string(bytes.begin(), bytes.end());
    }
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace server
