// The certificate loader: the bytes of a certificate, from PEM text the caller supplies or from
// the certificate store, searched by distinguished name.
#pragma once

#include "crypto/CryptoObject.h"

namespace qm {
inline constexpr int32_t kLoadOwnCertificate = 0; // the user's own certificate on a medium
inline constexpr int32_t kLoadByDn = 1;           // a certificate found by DN
} // namespace qm

class CCertLoader : public CCryptoObject {
public:
    CCertLoader();
    ~CCertLoader() override;

    int32_t Load(const char* source, int32_t kind, int32_t mode, int32_t medium);
    // The loaded bytes, still owned by the loader: callers copy them before it goes away.
    ByteBuffer GetBytes() const { return bytes; }

protected:
    ByteBuffer bytes{0, nullptr}; // general allocator

private:
    int32_t LoadPem(const char* text);
    void ReleaseHeld();

    bool heldStoreBlock = false; // `bytes` is a whole store block, wiped as such
};
