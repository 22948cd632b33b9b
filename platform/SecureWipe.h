// Wiping of secrets (key material, IVs, unlocked keys, passwords) before their memory goes back to
// the allocator. A plain memset before a free is a dead store that the compiler may drop; the
// empty assembly statement that takes the buffer's address and clobbers memory makes the stores
// observable, so they stay, at memset's speed (texts of several megabytes pass through here).
#pragma once

#include <cstddef>
#include <cstring>

namespace qm {

inline void SecureWipe(void* data, size_t size) noexcept {
    if (data == nullptr || size == 0) {
        return;
    }
#if defined(__GNUC__) || defined(__clang__)
    std::memset(data, 0, size);
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (size-- > 0) {
        *p++ = 0;
    }
#endif
}

} // namespace qm
