// Wiping of secrets (key material, IVs, unlocked keys, passwords) before their memory goes back to
// the allocator. The writes go through a volatile pointer so that the compiler cannot drop them as
// dead stores.
#pragma once

#include <cstddef>

namespace qm {

inline void SecureWipe(void* data, size_t size) noexcept {
    if (data == nullptr) {
        return;
    }
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (size-- > 0) {
        *p++ = 0;
    }
}

} // namespace qm
