// Scope guards for the temporary blocks of the crypto objects' operations, so that every early
// return releases what the operation took. Copies of the general allocator may hold passwords,
// plaintext or key material, so they are wiped on release.
#pragma once

#include "crypto/CryptoObject.h"
#include "external/engine.h"

namespace qm {

// A copy made with the byte-buffer helpers (general allocator), wiped and released at scope end.
class LocalBytes {
public:
    LocalBytes() = default;
    LocalBytes(const LocalBytes&) = delete;
    LocalBytes& operator=(const LocalBytes&) = delete;
    ~LocalBytes() { reset(); }

    ByteBuffer* out() { return &buffer_; }
    const ByteBuffer& get() const { return buffer_; }
    const ByteBuffer* operator->() const { return &buffer_; }
    void reset() { CCryptoObject::ReleaseBytes(&buffer_); }
    // Moves the copy into `target`, which the caller has already emptied.
    void moveTo(ByteBuffer* target) {
        *target = buffer_;
        buffer_ = ByteBuffer{0, nullptr};
    }

private:
    ByteBuffer buffer_{0, nullptr};
};

// An engine call that fails is taken to have handed back nothing: whatever it left in its output
// is dropped without CV_Free, so a faulty engine can leak at worst, never free a stray pointer.
inline void DropFailedOutput(EngineBuffer& output) {
    (void)output.release();
}

} // namespace qm
