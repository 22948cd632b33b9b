#include "engine/core/pool.h"

#include "platform/SecureWipe.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace corvane::pool {
namespace {

// In front of every block: what it can hold, so that a freed piece goes back to its own list.
struct alignas(std::max_align_t) Header {
    size_t capacity;
};

// Every freed block is wiped, up to this capacity: all of them. The benchmarks build a twin of the
// engine that wipes small pieces only (bench/engine/pool_small_wipes.cpp), to show the cost.
#ifdef CORVANE_POOL_WIPES_SMALL_PIECES_ONLY
constexpr size_t kWipedUpTo = kLargestSmall;
#else
constexpr size_t kWipedUpTo = SIZE_MAX;
#endif

std::atomic<bool> g_installed{false};

// The lock of a list: taking or giving back a piece holds it for a few loads and stores, and
// sealing one message takes it some 3,000 times (every piece OpenSSL allocates and frees), so it
// must cost next to nothing when free. std::mutex is winpthreads' mutex in the Windows build,
// three times an atomic exchange, which was a seventh of the time of a seal under Wine. A thread
// that finds the lock held spins a little (its holder lets go within nanoseconds unless it was
// preempted), then yields, and at last sleeps: a holder preempted by threads of higher priority
// then still gets to run and let go.
class SpinLock {
public:
    void lock() noexcept {
        unsigned waited = 0;
        while (held_.exchange(true, std::memory_order_acquire)) {
            do {
                Wait(waited++);
            } while (held_.load(std::memory_order_relaxed));
        }
    }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    static void Wait(unsigned waited) noexcept {
        if (waited < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else if (waited < 128) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::atomic<bool> held_{false};
};

constexpr size_t kGrain = 16;
constexpr size_t kSizeCount = kLargestSmall / kGrain;

// Freed pieces of one size, linked through their first word.
struct Pieces {
    SpinLock lock;
    void* head = nullptr;
    size_t count = 0;
};

struct State {
    Pieces pieces[kSizeCount];
    SpinLock spareLock;
    void* spare = nullptr;
};

// Constant-initialized and with nothing to destroy: usable from OpenSSL's first allocation, before
// any constructor has run, to its last free when the process ends, after static objects are gone.
constinit State g_pool;

State& ThePool() {
    return g_pool;
}

Header* HeaderOf(const void* block) {
    return const_cast<Header*>(reinterpret_cast<const Header*>(block) - 1);
}

void* FromHeap(size_t capacity) noexcept {
    if (capacity > SIZE_MAX - sizeof(Header)) {
        return nullptr;
    }
    auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + capacity));
    if (header == nullptr) {
        return nullptr;
    }
    header->capacity = capacity;
    return header + 1;
}

void ToHeap(void* block) noexcept {
    std::free(HeaderOf(block));
}

bool IsSmall(size_t capacity) {
    return capacity <= kLargestSmall;
}

bool MaySpare(size_t capacity) {
    return capacity >= kSpareFrom && capacity <= kLargestSpare;
}

// The list of pieces of a small size (0 takes the smallest).
Pieces& PiecesFor(size_t size) {
    return ThePool().pieces[size == 0 ? 0 : (size - 1) / kGrain];
}

void* TakeSpare(size_t size) noexcept {
    State& pool = ThePool();
    std::lock_guard guard(pool.spareLock);
    // A spare much larger than the request stays for the next large one.
    if (pool.spare == nullptr || HeaderOf(pool.spare)->capacity < size ||
        HeaderOf(pool.spare)->capacity / 2 > size) {
        return nullptr;
    }
    return std::exchange(pool.spare, nullptr);
}

// Keeps the block as the spare; the spare it replaces goes back to the heap.
void KeepSpare(void* block) noexcept {
    State& pool = ThePool();
    void* old = nullptr;
    {
        std::lock_guard guard(pool.spareLock);
        old = std::exchange(pool.spare, block);
    }
    if (old != nullptr) {
        ToHeap(old);
    }
}

void* OpenSslAllocate(size_t size, const char*, int) {
    return Allocate(size);
}
void* OpenSslReallocate(void* block, size_t size, const char*, int) {
    if (size == 0) { // OpenSSL's own realloc frees then
        Release(block);
        return nullptr;
    }
    return Reallocate(block, size);
}
void OpenSslRelease(void* block, const char*, int) {
    Release(block);
}

} // namespace

void* Allocate(size_t size) noexcept {
    if (IsSmall(size)) {
        Pieces& pieces = PiecesFor(size);
        {
            std::lock_guard guard(pieces.lock);
            if (void* piece = pieces.head) {
                std::memcpy(&pieces.head, piece, sizeof(void*));
                --pieces.count;
                return piece;
            }
        }
        return FromHeap((size == 0 ? 1 : (size + kGrain - 1) / kGrain) * kGrain);
    }
    if (size >= kSpareFrom) {
        if (void* spare = TakeSpare(size)) {
            return spare;
        }
    }
    return FromHeap(size);
}

void Release(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    size_t capacity = HeaderOf(block)->capacity;
    if (capacity <= kWipedUpTo) {
        qm::SecureWipe(block, capacity);
    }
    if (IsSmall(capacity)) {
        Pieces& pieces = PiecesFor(capacity);
        std::unique_lock guard(pieces.lock);
        if ((pieces.count + 1) * capacity <= kCachedPerSize) {
            std::memcpy(block, &pieces.head, sizeof(void*));
            pieces.head = block;
            ++pieces.count;
            return;
        }
        guard.unlock();
        ToHeap(block);
        return;
    }
    if (MaySpare(capacity)) {
        KeepSpare(block);
        return;
    }
    ToHeap(block);
}

void* Reallocate(void* block, size_t size) noexcept {
    if (block == nullptr) {
        return Allocate(size);
    }
    size_t capacity = HeaderOf(block)->capacity;
    if (size <= capacity && (IsSmall(capacity) || size > capacity / 2)) {
        return block;
    }
    void* moved = Allocate(size);
    if (moved == nullptr) {
        return nullptr; // the block stays as it was, as with realloc
    }
    std::memcpy(moved, block, std::min(size, capacity));
    Release(block);
    return moved;
}

size_t Capacity(const void* block) noexcept {
    return block == nullptr ? 0 : HeaderOf(block)->capacity;
}

bool InstallForOpenSsl() noexcept {
    if (CRYPTO_set_mem_functions(&OpenSslAllocate, &OpenSslReallocate, &OpenSslRelease) != 1) {
        return false;
    }
    g_installed = true;
    return true;
}

bool WipesWhatOpenSslFrees() noexcept {
    return kWipedUpTo == SIZE_MAX && g_installed.load();
}

} // namespace corvane::pool
