// The crypto engine Corvane.dll, reached by ordinal. Its functions, their ordinals and their
// contracts are those of engine/core/functions.inc. Every function returns a signed 32-bit
// result: 0 for success, a negative code for failure. Blocks handed back through out-parameters
// belong to the caller, who releases them with CV_Free; a failed call hands back nothing.
#pragma once

#include "engine/core/constants.h"
#include "engine/core/errors.h"
#include "platform/abi.h"

// One pointer for each function of engine/core/functions.inc, under the function's own name.
struct EngineApi {
#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments) int32_t(QM_CDECL* name) parameters;
#include "engine/core/functions.inc"
};

// The engine's export ordinals.
namespace qm::ordinal {
#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments)                                   \
    inline constexpr int name = ordinal;
#include "engine/core/functions.inc"
} // namespace qm::ordinal

namespace qm {

// Calls visit(slot, ordinal, name) for each function of the engine, in the table's order: `slot`
// is the member of EngineApi that holds it. Binders, stand-ins and doubles fill a table this way.
template <typename Visit> constexpr void ForEachEngineFunction(Visit&& visit) {
#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments)                                   \
    visit(&EngineApi::name, ordinal, #name);
#include "engine/core/functions.inc"
}

// What Corvane.dll answers when a context that was given a certificate (CV_ParseCertificate) is
// asked to unlock a private key that is not that certificate's own. A site's engine may not check
// this, and then never answers it.
inline constexpr int32_t kEngineKeyNotForCertificate = corvane::err::kKeyNotForCertificate;

using corvane::kDigestSha1;     // CV_Digest id of SHA-1
using corvane::kPemCertificate; // CV_PemEncode type
using corvane::kRandomSource;   // first argument of CV_RandomBytes

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
