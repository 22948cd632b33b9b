// The crypto engine Corvane.dll, reached by ordinal. Every function returns a signed 32-bit
// result: 0 for success, a negative code for failure. Blocks handed back through out-parameters
// belong to the caller, who releases them with CV_Free; a failed call hands back nothing.
#pragma once

#include "platform/abi.h"

struct EngineApi {
    int32_t(QM_CDECL* CV_ContextInit)(EngineContext* context);
    int32_t(QM_CDECL* CV_ContextFree)(EngineContext* context);
    int32_t(QM_CDECL* CV_Free)(void* block);
    int32_t(QM_CDECL* CV_Base64Encode)(const ByteBuffer* input, char** text);
    int32_t(QM_CDECL* CV_Base64Decode)(const char* text, ByteBuffer* output);
    int32_t(QM_CDECL* CV_PemDecode)(const char* text, ByteBuffer* output);
    int32_t(QM_CDECL* CV_PemEncode)(const ByteBuffer* der, int32_t type, char** text);
    int32_t(QM_CDECL* CV_Digest)(int32_t digestId, const ByteBuffer* input, ByteBuffer* output);
    int32_t(QM_CDECL* CV_DigestId)(const char* name, int32_t* digestId);
    int32_t(QM_CDECL* CV_CipherId)(const char* name, int32_t* algorithmId);
    int32_t(QM_CDECL* CV_IvLength)(int32_t algorithmId, int32_t* length);
    int32_t(QM_CDECL* CV_KeyLength)(int32_t algorithmId, int32_t* length);
    int32_t(QM_CDECL* CV_RandomBytes)(int32_t source, int32_t count, uint8_t** block);
    int32_t(QM_CDECL* CV_Encrypt)(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                                  const ByteBuffer* input, ByteBuffer* output);
    int32_t(QM_CDECL* CV_Decrypt)(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                                  const ByteBuffer* input, ByteBuffer* output);
    int32_t(QM_CDECL* CV_EncryptForCertificate)(EngineContext* context,
                                                const ByteBuffer* certificate,
                                                const ByteBuffer* input, ByteBuffer* output);
    int32_t(QM_CDECL* CV_DecryptPrivateKey)(EngineContext* context, const ByteBuffer* encryptedKey,
                                            const ByteBuffer* password, ByteBuffer* output);
    int32_t(QM_CDECL* CV_ParseCertificate)(EngineContext* context, const ByteBuffer* certificate,
                                           int32_t flags, int32_t* output1, int32_t* output2);
    int32_t(QM_CDECL* CV_VerifyCertificate)(EngineContext* context, const ByteBuffer* certificate,
                                            const ByteBuffer* caCertificates, const ByteBuffer* crl,
                                            const ByteBuffer* arl, char** detail);
};

// The engine's export ordinals.
namespace qm::ordinal {
inline constexpr int CV_Digest = 1;
inline constexpr int CV_Encrypt = 2;
inline constexpr int CV_Decrypt = 3;
inline constexpr int CV_RandomBytes = 5;
inline constexpr int CV_EncryptForCertificate = 10;
inline constexpr int CV_DigestId = 19;
inline constexpr int CV_CipherId = 20;
inline constexpr int CV_Base64Encode = 21;
inline constexpr int CV_Base64Decode = 22;
inline constexpr int CV_PemDecode = 23;
inline constexpr int CV_PemEncode = 24;
inline constexpr int CV_IvLength = 27;
inline constexpr int CV_KeyLength = 28;
inline constexpr int CV_Free = 30;
inline constexpr int CV_DecryptPrivateKey = 233;
inline constexpr int CV_ParseCertificate = 309;
inline constexpr int CV_VerifyCertificate = 317;
inline constexpr int CV_ContextInit = 900;
inline constexpr int CV_ContextFree = 901;
} // namespace qm::ordinal

namespace qm {

// What Corvane.dll answers when a context that was given a certificate (CV_ParseCertificate) is
// asked to unlock a private key that is not that certificate's own. A site's engine may not check
// this, and then never answers it.
inline constexpr int32_t kEngineKeyNotForCertificate = -1058;

inline constexpr int32_t kPemCertificate = 1; // CV_PemEncode type
inline constexpr int32_t kDigestSha1 = 101;   // CV_Digest id of SHA-1
inline constexpr int32_t kRandomSource = 200; // first argument of CV_RandomBytes

// The bound engine. The first call binds it; it never returns a table with null entries.
const EngineApi& Engine() noexcept;

// Whether the engine is there: Corvane.dll was loaded and offers every function (a test's
// double counts as there). Without it every function fails; callers report that as such.
bool EngineLoaded() noexcept;

// Replaces the bound engine for a test (doubles that reach failure paths); null restores it.
// The table must outlive its use.
void BindEngineForTesting(const EngineApi* api) noexcept;

// An engine block released with CV_Free when it goes out of scope.
template <typename T> class EngineBlock {
public:
    EngineBlock() = default;
    explicit EngineBlock(T* block) : block_(block) {}
    EngineBlock(const EngineBlock&) = delete;
    EngineBlock& operator=(const EngineBlock&) = delete;
    ~EngineBlock() { reset(); }

    T* get() const { return block_; }
    T** out() {
        reset();
        return &block_;
    }
    void reset(T* block = nullptr) {
        if (block_ != nullptr) {
            Engine().CV_Free(block_);
        }
        block_ = block;
    }
    T* release() {
        T* block = block_;
        block_ = nullptr;
        return block;
    }

private:
    T* block_ = nullptr;
};

// A ByteBuffer filled by the engine, whose data is released with CV_Free.
class EngineBuffer {
public:
    EngineBuffer() = default;
    EngineBuffer(const EngineBuffer&) = delete;
    EngineBuffer& operator=(const EngineBuffer&) = delete;
    ~EngineBuffer() { reset(); }

    ByteBuffer* out() {
        reset();
        return &buffer_;
    }
    const ByteBuffer& get() const { return buffer_; }
    const ByteBuffer* operator->() const { return &buffer_; }
    void reset() {
        if (buffer_.data != nullptr) {
            Engine().CV_Free(buffer_.data);
        }
        buffer_ = ByteBuffer{0, nullptr};
    }
    // Hands the block over to a holder that will release it with CV_Free itself.
    ByteBuffer release() {
        ByteBuffer buffer = buffer_;
        buffer_ = ByteBuffer{0, nullptr};
        return buffer;
    }

private:
    ByteBuffer buffer_{0, nullptr};
};

} // namespace qm
