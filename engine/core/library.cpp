// The engine's private OpenSSL library context and the algorithm tables over it.
//
// A host process may use OpenSSL itself (with its own configuration, providers and error queue);
// the engine never loads providers into the default context, so whatever the host has set up
// stays as it is, and the engine's algorithms do not depend on the host's configuration.
#include "engine/core/internal.h"

#include <openssl/provider.h>

#include <array>

namespace corvane {
namespace {

// The ciphers are the rows of platform/ciphers.h: every one runs through the same code.
constexpr std::span<const CipherEntry> kCiphers = qm::kCiphers;

constexpr std::array kDigests{
    DigestEntry{kDigestSha1, {"SHA1", "SHA-1"}, "SHA1"},
    DigestEntry{kDigestSha256, {"SHA256", "SHA-256"}, "SHA256"},
    DigestEntry{kDigestSha384, {"SHA384", "SHA-384"}, "SHA384"},
    DigestEntry{kDigestSha512, {"SHA512", "SHA-512"}, "SHA512"},
};

// Fetching an algorithm takes a lock inside OpenSSL and a search of its method store; the engine
// fetches each one once, when the library context starts, and keeps it for the life of the
// process (or of the DLL).
class Library {
public:
    Library() {
        context_ = OSSL_LIB_CTX_new();
        if (context_ == nullptr) {
            return;
        }
        defaultProvider_ = OSSL_PROVIDER_load(context_, "default");
        // SEED, DES and the older PBEs of private keys live in the legacy provider; without it
        // those few algorithms are unavailable and the rest still works.
        legacyProvider_ = OSSL_PROVIDER_load(context_, "legacy");
        if (defaultProvider_ == nullptr) {
            Close();
            return;
        }
        for (size_t i = 0; i < kCiphers.size(); ++i) {
            ciphers_[i] = EVP_CIPHER_fetch(context_, kCiphers[i].evpName, nullptr);
        }
        for (size_t i = 0; i < kDigests.size(); ++i) {
            digests_[i] = EVP_MD_fetch(context_, kDigests[i].evpName, nullptr);
        }
        sealing_ = EVP_CIPHER_fetch(context_, "AES-256-CBC", nullptr);
        ERR_clear_error();
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() { Close(); }

    OSSL_LIB_CTX* context() const { return context_; }
    const EVP_CIPHER* cipher(size_t index) const { return ciphers_[index]; }
    const EVP_MD* digest(size_t index) const { return digests_[index]; }
    const EVP_CIPHER* sealing() const { return sealing_; }

private:
    void Close() {
        for (EVP_CIPHER*& c : ciphers_) {
            EVP_CIPHER_free(c);
            c = nullptr;
        }
        for (EVP_MD*& d : digests_) {
            EVP_MD_free(d);
            d = nullptr;
        }
        EVP_CIPHER_free(sealing_);
        sealing_ = nullptr;
        if (legacyProvider_ != nullptr) {
            OSSL_PROVIDER_unload(legacyProvider_);
        }
        if (defaultProvider_ != nullptr) {
            OSSL_PROVIDER_unload(defaultProvider_);
        }
        legacyProvider_ = defaultProvider_ = nullptr;
        OSSL_LIB_CTX_free(context_);
        context_ = nullptr;
    }

    OSSL_LIB_CTX* context_ = nullptr;
    OSSL_PROVIDER* defaultProvider_ = nullptr;
    OSSL_PROVIDER* legacyProvider_ = nullptr;
    std::array<EVP_CIPHER*, kCiphers.size()> ciphers_{};
    std::array<EVP_MD*, kDigests.size()> digests_{};
    EVP_CIPHER* sealing_ = nullptr;
};

// Started on first use (thread-safe by the language's rule for local statics), ended when the
// process exits or the DLL is unloaded.
const Library& TheLibrary() {
    static const Library library;
    return library;
}

template <typename Entry> const Entry* FindById(std::span<const Entry> table, int32_t id) noexcept {
    for (const Entry& entry : table) {
        if (entry.id == id) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

std::span<const CipherEntry> Ciphers() noexcept {
    return kCiphers;
}
std::span<const DigestEntry> Digests() noexcept {
    return kDigests;
}
const CipherEntry* FindCipher(int32_t id) noexcept {
    return FindById(kCiphers, id);
}
const DigestEntry* FindDigest(int32_t id) noexcept {
    return FindById<DigestEntry>(kDigests, id);
}

OSSL_LIB_CTX* LibraryContext() noexcept {
    return TheLibrary().context();
}

const EVP_CIPHER* FetchedCipher(const CipherEntry& entry) noexcept {
    return TheLibrary().cipher(size_t(&entry - kCiphers.data()));
}

const EVP_MD* FetchedDigest(const DigestEntry& entry) noexcept {
    return TheLibrary().digest(size_t(&entry - kDigests.data()));
}

const EVP_CIPHER* SealingCipher() noexcept {
    return TheLibrary().sealing();
}

int32_t ReadInput(const ByteBuffer* buffer, bool allowEmpty, Bytes& bytes) noexcept {
    bytes = {};
    if (buffer == nullptr) {
        return err::kNullArgument;
    }
    if (buffer->length < 0) {
        return err::kNegativeLength;
    }
    if (buffer->length == 0) {
        return allowEmpty ? 0 : err::kEmptyInput;
    }
    if (buffer->data == nullptr) {
        return err::kNullArgument;
    }
    bytes = Bytes(buffer->data, size_t(buffer->length));
    return 0;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace corvane
