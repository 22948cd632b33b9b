// What the engine's source files share: the boundary guard, input checks, the engine's block
// allocator, the private OpenSSL library context with its fetched algorithms, and the owners of
// OpenSSL's types that it uses. Only files compiled by plain g++ include this (it pulls in
// OpenSSL's headers).
#pragma once

#include "engine/core/corvane.h"
#include "engine/core/errors.h"
#include "platform/ciphers.h"
#include "platform/OpenSslOwners.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

namespace corvane {

// ---- The boundary ------------------------------------------------------------------------------

// Runs one exported function's body: no exception leaves it, and OpenSSL errors raised inside are
// taken off the thread's error queue again, so the host's own OpenSSL state is left as it was.
template <typename Body> int32_t Guarded(Body&& body) noexcept {
    ERR_set_mark();
    int32_t result;
    try {
        result = body();
    } catch (const std::bad_alloc&) {
        result = err::kOutOfMemory;
    } catch (...) {
        result = err::kInternal;
    }
    ERR_pop_to_mark();
    return result;
}

using Bytes = std::span<const uint8_t>;

// Checks an input buffer: 0 and its bytes, or a failure code. An empty buffer is accepted only
// where the caller allows it (its span is then empty, never built on a null pointer).
int32_t ReadInput(const ByteBuffer* buffer, bool allowEmpty, Bytes& bytes) noexcept;

// ASCII comparison without regard to case (names are never locale-dependent).
bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept;

// ---- Engine blocks ------------------------------------------------------------------------------

// Allocates a block that the engine will hand out (throws std::bad_alloc). Every block handed
// to a caller comes from here, which is what lets CV_Free recognise, wipe and release it.
uint8_t* AllocateBlock(size_t size);
// Wipes and releases a block from AllocateBlock; false when the engine does not hold it.
bool ReleaseBlock(void* block) noexcept;

// An engine block being filled: released (and wiped) unless handed out.
class Block {
public:
    explicit Block(size_t size) : data_(AllocateBlock(size)), size_(size) {}
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() {
        if (data_ != nullptr) {
            ReleaseBlock(data_);
        }
    }
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    // Hands the first `used` bytes out as a ByteBuffer; a block of 0 used bytes is released and
    // handed out as {0, null}. Fails with kTooLarge past a 32-bit length.
    int32_t HandOut(size_t used, ByteBuffer* output);
    // Hands the block out as a NUL-terminated text of `length` characters (size > length).
    char* HandOutText(size_t length);
    uint8_t* Release() {
        uint8_t* data = data_;
        data_ = nullptr;
        return data;
    }

private:
    uint8_t* data_;
    size_t size_;
};

// A text block holding a copy of `text`.
char* CopyToTextBlock(std::string_view text);

// ---- The private library context
// -----------------------------------------------------------------

// A row of platform/ciphers.h.
using CipherEntry = qm::CipherRow;

struct DigestEntry {
    int32_t id;
    const char* names[2];
    const char* evpName;
};

std::span<const CipherEntry> Ciphers() noexcept;
std::span<const DigestEntry> Digests() noexcept;
const CipherEntry* FindCipher(int32_t id) noexcept;
const DigestEntry* FindDigest(int32_t id) noexcept;

// The engine's own OpenSSL library context (default and legacy providers), created on first use
// and shared by all threads; null when OpenSSL could not start it.
OSSL_LIB_CTX* LibraryContext() noexcept;
// The fetched algorithm of a table entry; null when no provider offers it.
const EVP_CIPHER* FetchedCipher(const CipherEntry& entry) noexcept;
const EVP_MD* FetchedDigest(const DigestEntry& entry) noexcept;
// The content cipher of sealed data (AES-256-CBC).
const EVP_CIPHER* SealingCipher() noexcept;

// ---- Contexts
// ------------------------------------------------------------------------------------

// 0 when the context names a live slot, else kNullArgument or kBadContext.
int32_t CheckContext(const EngineContext* context) noexcept;

// The certificate that CV_ParseCertificate last gave a context: whether one was given, and the
// DER SubjectPublicKeyInfo of its key (empty when the certificate could not be read). A context
// that holds a certificate unlocks only that certificate's own private key.
struct CertificateKey {
    bool given = false;
    std::vector<uint8_t> publicKey;
};
// Both do nothing (or give nothing) for a context that names no live slot. Throw std::bad_alloc.
void SetCertificateKey(const EngineContext* context, Bytes publicKey);
CertificateKey GetCertificateKey(const EngineContext* context);

// ---- Owners for OpenSSL's types
// ------------------------------------------------------------------

using qm::BioPtr;
using qm::CipherCtxPtr;
using qm::CmsPtr;
using qm::OpenSslPtr;
using qm::PkeyPtr;
using qm::X509CrlPtr;
using qm::X509Ptr;
using X509StorePtr = OpenSslPtr<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = OpenSslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509SigPtr = OpenSslPtr<X509_SIG, X509_SIG_free>;
using Pkcs8Ptr = OpenSslPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;

// One DER certificate that fills the bytes exactly, in the engine's library context.
X509Ptr ParseCertificateDer(Bytes der);

// The certificate in `der`, parsed in the engine's library context: 0 and the certificate, or
// the engine's code for an unavailable library or bytes that are not exactly one certificate.
int32_t ParseInputCertificate(Bytes der, X509Ptr* certificate);

} // namespace corvane
