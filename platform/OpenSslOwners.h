// Owners of OpenSSL's objects, each freed with its own function when its owner goes. Only what
// links OpenSSL includes this (the engine, the store and its tool, the server tool, the benches,
// the tests); it depends on OpenSSL's headers alone.
#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace qm {

template <auto Free> struct OpenSslFree {
    template <typename T> void operator()(T* p) const noexcept { Free(p); }
};

// An OpenSSL object of type T, freed with `Free`.
template <typename T, auto Free> using OpenSslPtr = std::unique_ptr<T, OpenSslFree<Free>>;

using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509CrlPtr = OpenSslPtr<X509_CRL, X509_CRL_free>;
using PkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using BioPtr = OpenSslPtr<BIO, BIO_free_all>;
using CipherCtxPtr = OpenSslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using CmsPtr = OpenSslPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
// Stacks that own their items, and bytes that OpenSSL allocated for its caller (i2d_*).
inline void FreeX509Stack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}
inline void FreeX509CrlStack(STACK_OF(X509_CRL) * stack) {
    sk_X509_CRL_pop_free(stack, X509_CRL_free);
}
inline void FreeOpenSslBytes(unsigned char* bytes) {
    OPENSSL_free(bytes);
}
using X509StackPtr = OpenSslPtr<STACK_OF(X509), FreeX509Stack>;
using X509CrlStackPtr = OpenSslPtr<STACK_OF(X509_CRL), FreeX509CrlStack>;
using OpenSslBytes = OpenSslPtr<unsigned char, FreeOpenSslBytes>;

} // namespace qm
