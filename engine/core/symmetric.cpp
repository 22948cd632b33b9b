// Digests, random bytes and the symmetric ciphers. Every algorithm is a row of a table (the
// ciphers of platform/ciphers.h, the digests of library.cpp); nothing here branches on which one.
#include "engine/core/internal.h"

#include <openssl/rand.h>

namespace corvane {
namespace {

// Runs one CBC pass with PKCS#7 padding over the whole input.
int32_t RunCipher(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                  const ByteBuffer* input, ByteBuffer* output, bool encrypt) {
    if (output == nullptr) {
        return err::kNullArgument;
    }
    *output = ByteBuffer{0, nullptr};
    const CipherEntry* entry = FindCipher(algorithmId);
    if (entry == nullptr) {
        return err::kUnknownCipher;
    }
    if (key == nullptr || iv == nullptr) {
        return err::kNullArgument;
    }
    Bytes in;
    if (int32_t rc = ReadInput(input, encrypt, in); rc != 0) {
        return rc;
    }
    const EVP_CIPHER* cipher = FetchedCipher(*entry);
    if (cipher == nullptr) {
        return err::kAlgorithmUnavailable;
    }
    size_t blockSize = size_t(EVP_CIPHER_get_block_size(cipher));
    if (!encrypt && in.size() % blockSize != 0) {
        return err::kDecryptFailed; // cut off or not ciphertext at all
    }
    size_t room = in.size() + (encrypt ? blockSize : 0);
    if (room > size_t(INT32_MAX)) {
        return err::kTooLarge;
    }
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (ctx == nullptr) {
        throw std::bad_alloc();
    }
    if (EVP_CipherInit_ex2(ctx.get(), cipher, key, iv, encrypt ? 1 : 0, nullptr) != 1) {
        return encrypt ? err::kEncryptFailed : err::kDecryptFailed;
    }
    Block block(room);
    int updated = 0;
    int finished = 0;
    static const uint8_t kNothing = 0;
    if (EVP_CipherUpdate(ctx.get(), block.data(), &updated, in.empty() ? &kNothing : in.data(),
                         int(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), block.data() + updated, &finished) != 1) {
        // The block is wiped on release: no partial plaintext survives a failed padding check.
        return encrypt ? err::kEncryptFailed : err::kDecryptFailed;
    }
    return block.HandOut(size_t(updated) + size_t(finished), output);
}

} // namespace

int32_t CV_Digest(int32_t digestId, const ByteBuffer* input, ByteBuffer* output) noexcept {
    return Guarded([&]() -> int32_t {
        if (output == nullptr) {
            return err::kNullArgument;
        }
        *output = ByteBuffer{0, nullptr};
        const DigestEntry* entry = FindDigest(digestId);
        if (entry == nullptr) {
            return err::kUnknownDigest;
        }
        Bytes in;
        if (int32_t rc = ReadInput(input, true, in); rc != 0) {
            return rc;
        }
        const EVP_MD* md = FetchedDigest(*entry);
        if (md == nullptr) {
            return err::kAlgorithmUnavailable;
        }
        Block block(size_t(EVP_MD_get_size(md)));
        unsigned int length = 0;
        static const uint8_t kNothing = 0;
        if (EVP_Digest(in.empty() ? &kNothing : in.data(), in.size(), block.data(), &length, md,
                       nullptr) != 1) {
            return err::kInternal;
        }
        return block.HandOut(length, output);
    });
}

int32_t CV_DigestId(const char* name, int32_t* digestId) noexcept {
    return Guarded([&]() -> int32_t {
        if (name == nullptr || digestId == nullptr) {
            return err::kNullArgument;
        }
        for (const DigestEntry& entry : Digests()) {
            for (const char* candidate : entry.names) {
                if (EqualsIgnoringCase(name, candidate)) {
                    *digestId = entry.id;
                    return 0;
                }
            }
        }
        return err::kUnknownDigest;
    });
}

int32_t CV_CipherId(const char* name, int32_t* algorithmId) noexcept {
    return Guarded([&]() -> int32_t {
        if (name == nullptr || algorithmId == nullptr) {
            return err::kNullArgument;
        }
        for (const CipherEntry& entry : Ciphers()) {
            if (EqualsIgnoringCase(name, entry.name)) {
                *algorithmId = entry.id;
                return 0;
            }
        }
        return err::kUnknownCipher;
    });
}

namespace {

// One of the lengths that the cipher table gives for an algorithm id.
int32_t CipherLength(int32_t algorithmId, int32_t* length, int32_t CipherEntry::*which) {
    if (length == nullptr) {
        return err::kNullArgument;
    }
    const CipherEntry* entry = FindCipher(algorithmId);
    if (entry == nullptr) {
        return err::kUnknownCipher;
    }
    *length = entry->*which;
    return 0;
}

} // namespace

int32_t CV_IvLength(int32_t algorithmId, int32_t* length) noexcept {
    return CipherLength(algorithmId, length, &CipherEntry::ivLength);
}

int32_t CV_KeyLength(int32_t algorithmId, int32_t* length) noexcept {
    return CipherLength(algorithmId, length, &CipherEntry::keyLength);
}

int32_t CV_RandomBytes(int32_t source, int32_t count, uint8_t** block) noexcept {
    return Guarded([&]() -> int32_t {
        if (block == nullptr) {
            return err::kNullArgument;
        }
        *block = nullptr;
        if (source != kRandomSource) {
            return err::kBadRandomSource;
        }
        if (count <= 0) {
            return count == 0 ? err::kEmptyInput : err::kNegativeLength;
        }
        if (count > kMaxRandomBytes) {
            return err::kTooLarge;
        }
        OSSL_LIB_CTX* library = LibraryContext();
        if (library == nullptr) {
            return err::kLibraryUnavailable;
        }
        Block bytes{size_t(count)};
        if (RAND_bytes_ex(library, bytes.data(), size_t(count), 0) != 1) {
            return err::kRandomFailed;
        }
        *block = bytes.Release();
        return 0;
    });
}

int32_t CV_Encrypt(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                   const ByteBuffer* input, ByteBuffer* output) noexcept {
    return Guarded([&] { return RunCipher(algorithmId, key, iv, input, output, true); });
}

int32_t CV_Decrypt(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                   const ByteBuffer* input, ByteBuffer* output) noexcept {
    return Guarded([&] { return RunCipher(algorithmId, key, iv, input, output, false); });
}

} // namespace corvane
