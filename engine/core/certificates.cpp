// Certificates: parsing, and X.509 path validation against the caller's CA certificates with
// optional revocation lists.
//
// Validation matches OpenSSL's command line, which is what a site's administrator checks by hand:
// every certificate of the CA bundle is trusted (`openssl verify -CAfile`); a CRL adds
// `-crl_check`, and a CRL with an ARL `-crl_check_all` over both. The command line has nothing
// for an ARL alone; the engine then checks the CA certificates of the path and not the
// certificate itself, since an ARL lists revoked authorities only.
#include "engine/core/internal.h"

#include <string>
#include <vector>

namespace corvane {
namespace {

template <typename T, auto New, auto D2i, auto Free> OpenSslPtr<T, Free> ReadOne(Bytes& rest) {
    OpenSslPtr<T, Free> object(New(LibraryContext(), nullptr));
    if (object == nullptr) {
        throw std::bad_alloc();
    }
    const unsigned char* p = rest.data();
    T* target = object.get();
    if (D2i(&target, &p, long(rest.size())) == nullptr) {
        // A failed d2i frees the object it was given and clears the pointer; freeing what is
        // left covers either way.
        object.release();
        Free(target);
        return nullptr;
    }
    rest = rest.subspan(size_t(p - rest.data()));
    return object;
}

X509Ptr ReadOneCertificate(Bytes& rest) {
    return ReadOne<X509, X509_new_ex, d2i_X509, X509_free>(rest);
}

X509CrlPtr ReadOneCrl(Bytes& rest) {
    return ReadOne<X509_CRL, X509_CRL_new_ex, d2i_X509_CRL, X509_CRL_free>(rest);
}

// Appends the CRLs that lie back to back in `der`; false when anything else is there.
bool ReadCrls(Bytes der, STACK_OF(X509_CRL) * crls) {
    while (!der.empty()) {
        X509CrlPtr crl = ReadOneCrl(der);
        if (crl == nullptr) {
            return false;
        }
        if (sk_X509_CRL_push(crls, crl.get()) <= 0) {
            throw std::bad_alloc();
        }
        crl.release();
    }
    return true;
}

bool IsRevocationError(int error) {
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_CERT_REVOKED:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
        return true;
    default:
        return false;
    }
}

// With an ARL alone, revocation is checked along the whole path (OpenSSL has no "CA
// certificates only"), and whatever revocation checking says about the certificate itself is
// set aside; every other finding stands.
int SkipLeafRevocation(int ok, X509_STORE_CTX* ctx) {
    if (ok == 0 && X509_STORE_CTX_get_error_depth(ctx) == 0 &&
        X509_STORE_CTX_get0_parent_ctx(ctx) == nullptr &&
        IsRevocationError(X509_STORE_CTX_get_error(ctx))) {
        X509_STORE_CTX_set_error(ctx, X509_V_OK);
        return 1;
    }
    return ok;
}

// The certificate's SubjectPublicKeyInfo as it stands in the certificate; empty when it cannot be
// encoded.
std::vector<uint8_t> PublicKeyDer(X509* cert) {
    unsigned char* der = nullptr;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    qm::OpenSslBytes owned(der);
    if (length <= 0) {
        return {};
    }
    return std::vector<uint8_t>(der, der + length);
}

std::string NameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (bio == nullptr || name == nullptr ||
        X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) {
        return {};
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, size_t(length)) : std::string();
}

int32_t VerifyFailure(int error) {
    return error >= 1 && error <= err::kVerifyFailed - err::kVerifyFailedLast
               ? err::kVerifyFailed - error
               : err::kVerifyFailedLast;
}

const char* ArgumentFailure(int32_t code) {
    switch (code) {
    case err::kNullArgument:
        return "a required argument is missing";
    case err::kNegativeLength:
        return "a buffer has a negative length";
    case err::kEmptyInput:
        return "the certificate or the CA certificates are empty";
    case err::kBadContext:
        return "the engine context is not initialised or already released";
    case err::kOutOfMemory:
        return "out of memory";
    default:
        return "the verification could not run";
    }
}

struct Verification {
    int32_t result = 0;
    std::string detail;
};

Verification Verify(Bytes certificate, Bytes caCertificates, Bytes crl, Bytes arl) {
    X509Ptr leaf = ParseCertificateDer(certificate);
    if (leaf == nullptr) {
        return {err::kBadCertificate, "the certificate is not one DER X.509 certificate"};
    }
    // The CA certificates are trusted as a list, not added to the (empty) store one by one: the
    // store looks for a duplicate of every certificate it is given, which takes time in the
    // square of the count, and a page chooses the count. A certificate listed twice does no harm.
    X509StorePtr store(X509_STORE_new());
    qm::X509StackPtr trusted(sk_X509_new_null());
    if (store == nullptr || trusted == nullptr) {
        throw std::bad_alloc();
    }
    Bytes rest = caCertificates;
    while (!rest.empty()) {
        X509Ptr ca = ReadOneCertificate(rest);
        if (ca == nullptr) {
            return {err::kBadCaCertificates,
                    "the CA certificates are not DER X.509 certificates back to back"};
        }
        if (sk_X509_push(trusted.get(), ca.get()) <= 0) {
            throw std::bad_alloc();
        }
        ca.release();
    }

    qm::X509CrlStackPtr crls(sk_X509_CRL_new_null());
    if (crls == nullptr) {
        throw std::bad_alloc();
    }
    if (!ReadCrls(crl, crls.get()) || !ReadCrls(arl, crls.get())) {
        return {err::kBadCrl, "the CRL or ARL is not DER X.509 CRLs back to back"};
    }

    X509StoreCtxPtr ctx(X509_STORE_CTX_new_ex(LibraryContext(), nullptr));
    if (ctx == nullptr || X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), nullptr) != 1) {
        throw std::bad_alloc();
    }
    unsigned long flags = 0;
    if (!crl.empty()) {
        flags |= X509_V_FLAG_CRL_CHECK;
    }
    if (!arl.empty()) {
        flags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
        if (crl.empty()) {
            X509_STORE_CTX_set_verify_cb(ctx.get(), SkipLeafRevocation);
        }
    }
    X509_STORE_CTX_set_flags(ctx.get(), flags);
    X509_STORE_CTX_set0_trusted_stack(ctx.get(), trusted.get());
    X509_STORE_CTX_set0_crls(ctx.get(), crls.get());

    int ok = X509_verify_cert(ctx.get());
    int error = X509_STORE_CTX_get_error(ctx.get());
    if (ok == 1 && error == X509_V_OK) {
        return {};
    }
    if (error == X509_V_OK) {
        return {err::kInternal, "the verification could not run"};
    }
    std::string detail = "verify error " + std::to_string(error) + " at depth " +
                         std::to_string(X509_STORE_CTX_get_error_depth(ctx.get())) + ": " +
                         X509_verify_cert_error_string(error);
    if (X509* current = X509_STORE_CTX_get_current_cert(ctx.get()); current != nullptr) {
        detail += " (" + NameText(X509_get_subject_name(current)) + ")";
    }
    return {VerifyFailure(error), std::move(detail)};
}

} // namespace

X509Ptr ParseCertificateDer(Bytes der) {
    if (der.empty()) {
        return nullptr;
    }
    X509Ptr cert = ReadOneCertificate(der);
    return der.empty() ? std::move(cert) : nullptr;
}

int32_t ParseInputCertificate(Bytes der, X509Ptr* certificate) {
    if (LibraryContext() == nullptr) {
        return err::kLibraryUnavailable;
    }
    *certificate = ParseCertificateDer(der);
    return *certificate == nullptr ? err::kBadCertificate : 0;
}

int32_t CV_ParseCertificate(EngineContext* context, const ByteBuffer* certificate, int32_t flags,
                            int32_t* output1, int32_t* output2) noexcept {
    return Guarded([&]() -> int32_t {
        if (output1 == nullptr || output2 == nullptr) {
            return err::kNullArgument;
        }
        *output1 = 0;
        *output2 = 0;
        if (int32_t rc = CheckContext(context); rc != 0) {
            return rc;
        }
        if (flags != 0) {
            return err::kBadFlags;
        }
        // From here on the context holds this certificate: one that cannot be read refuses every
        // private key, rather than leaving the check to an earlier certificate or to none.
        SetCertificateKey(context, {});
        Bytes der;
        if (int32_t rc = ReadInput(certificate, false, der); rc != 0) {
            return rc;
        }
        X509Ptr cert;
        if (int32_t rc = ParseInputCertificate(der, &cert); rc != 0) {
            return rc;
        }
        SetCertificateKey(context, PublicKeyDer(cert.get()));
        EVP_PKEY* key = X509_get0_pubkey(cert.get());
        *output1 = int32_t(X509_get_version(cert.get()) + 1);
        *output2 = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
        return 0;
    });
}

int32_t CV_VerifyCertificate(EngineContext* context, const ByteBuffer* certificate,
                             const ByteBuffer* caCertificates, const ByteBuffer* crl,
                             const ByteBuffer* arl, char** detail) noexcept {
    if (detail == nullptr) {
        return err::kNullArgument;
    }
    *detail = nullptr;
    std::string why;
    int32_t result = Guarded([&]() -> int32_t {
        if (int32_t rc = CheckContext(context); rc != 0) {
            return rc;
        }
        Bytes leaf;
        Bytes cas;
        Bytes crlBytes;
        Bytes arlBytes;
        // The revocation lists are optional: a null buffer is the same as an empty one.
        for (auto [buffer, bytes, optional] :
             {std::tuple{certificate, &leaf, false}, std::tuple{caCertificates, &cas, false},
              std::tuple{crl, &crlBytes, true}, std::tuple{arl, &arlBytes, true}}) {
            if (optional && buffer == nullptr) {
                continue;
            }
            if (int32_t rc = ReadInput(buffer, optional, *bytes); rc != 0) {
                return rc;
            }
        }
        if (LibraryContext() == nullptr) {
            return err::kLibraryUnavailable;
        }
        Verification outcome = Verify(leaf, cas, crlBytes, arlBytes);
        why = std::move(outcome.detail);
        return outcome.result;
    });
    if (result != 0) {
        // Whatever failed, the caller gets a reason (unless there is no memory left for one).
        Guarded([&]() -> int32_t {
            *detail = CopyToTextBlock(why.empty() ? ArgumentFailure(result) : why);
            return 0;
        });
    }
    return result;
}

} // namespace corvane
