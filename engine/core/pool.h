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
// all, and one spare block of at most kLargestSpare bytes). Every block is wiped as it is freed,
// whatever its size and whether it is kept or goes back to the heap: OpenSSL clears only what it
// knows to be secret, and some of what it frees uncleared holds secrets all the same (CMS_final
// copies the content, a session key and IV, through a buffering BIO whose 4 KiB buffers it frees
// as they are). A wipe runs at memory speed; `./run bench` shows that it costs nothing visible
// on 1 MiB of work (bench/engine/compare-pe.sh sets it beside a twin that wipes small pieces
// only). Thread-safe; every function is noexcept and an exhausted heap gives null, as malloc
// does.
//
// Natively the engine leaves OpenSSL on the C runtime's allocator: the native programs that use
// it (the store's tool, the tests, the benchmarks) live for one command, and AddressSanitizer
// sees OpenSSL's blocks there only when no pool hides them. The tests exercise the pool directly.
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

// Whether every block that OpenSSL frees is wiped here: the pool is installed and wipes blocks of
// every size. The engine's own blocks then need no wipe of their own before they are freed.
bool WipesWhatOpenSslFrees() noexcept;

} // namespace corvane::pool
