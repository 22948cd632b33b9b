// The memory that OpenSSL and the engine's blocks use inside the Windows build of the engine.
//
// OpenSSL allocates and frees dozens of small pieces for every certificate it reads and every
// key it seals to, and the heap of the C runtime takes a lock and a search for each one; under
// Wine each piece costs several times what it does under glibc, which made sealing to a
// certificate nearly half as slow again as the same OpenSSL natively. The pool keeps freed small
// pieces (up to kLargestSmall bytes) in per-size lists for the next request of that size, and
// keeps one freed large block (kSpareFrom bytes and more) for the next request it fits: a large
// block straight from the heap is fresh pages from the system every time.
//
// What the pool keeps is bounded (kCachedPerSize bytes of pieces of each size, so at most 4 MiB in
// all, and one spare block of at most kLargestSpare bytes); every small piece is wiped as it is
// freed, so none of the small pieces kept keeps what OpenSSL freed. A large block is not wiped, as
// the heap would not wipe it either: OpenSSL clears its secrets itself before it frees them
// (OPENSSL_clear_free), and wiping megabytes on every free would cost as much as the pool saves.
// Thread-safe; every function is
// noexcept and an exhausted heap gives null, as malloc does. Natively the engine leaves OpenSSL on
// the C runtime's allocator, which is fast there, and the tests exercise the pool directly.
#pragma once

#include <cstddef>

namespace corvane::pool {

inline constexpr size_t kLargestSmall = 1024;
inline constexpr size_t kCachedPerSize = 64 * 1024;
inline constexpr size_t kSpareFrom = 64 * 1024;
inline constexpr size_t kLargestSpare = 16 * 1024 * 1024;

// As malloc, realloc and free (a size of 0 still gives a block, as OpenSSL expects).
void* Allocate(size_t size) noexcept;
void* Reallocate(void* block, size_t size) noexcept;
void Release(void* block) noexcept;

// How many bytes a block may hold (at least what was asked for); for the tests.
size_t Capacity(const void* block) noexcept;

// Makes OpenSSL allocate from the pool. Only before OpenSSL's first allocation in the process;
// false when it is too late (OpenSSL then keeps the C runtime's allocator).
bool InstallForOpenSsl() noexcept;

} // namespace corvane::pool
