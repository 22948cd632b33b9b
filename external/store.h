// The certificate store Ledra.dll, reached by name. Its functions (store/core/functions.inc, with
// their contracts) take narrow strings in the system's ANSI code page and write into areas that
// the caller allocates (see abi.h for sizes).
#pragma once

#include "platform/abi.h"

#include <type_traits>

// One pointer for each function of store/core/functions.inc, under the function's own name.
struct StoreApi {
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments)                             \
    int32_t(QM_CDECL* name) parameters;
#include "store/core/functions.inc"
};

namespace qm {

// What a caller gets from a store function that could not be bound (the table's `unbound`).
enum class StoreUnbound {
    kNothing,        // 0: nothing listed, no such value
    kFailure,        // kUnboundFunction, nothing written
    kClearedFailure, // kUnboundFunction, the output value or text left empty
};

// Calls visit(slot, name, unbound) for each function of the store, in the table's order: `slot`
// is the member of StoreApi that holds it, `unbound` a std::integral_constant of StoreUnbound.
// Binders, stand-ins and doubles fill a table this way.
template <typename Visit> constexpr void ForEachStoreFunction(Visit&& visit) {
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments)                             \
    visit(&StoreApi::name, #name, std::integral_constant<StoreUnbound, StoreUnbound::unbound>{});
#include "store/core/functions.inc"
}

// The bound store, seen through the checks that keep its callers sound whatever it answers:
// - a listing counts at most 30 entries (a larger count is cut to 30, the entries the caller's
//   area holds; a count of 0 or less stays "none", as the store gave it);
// - a block (certificate or key) is handed back only with a length from 0 to 3,000 and in the
//   caller's own block; otherwise the call fails with kStoreBlockRefused, and a failed call
//   leaves the length 0 and the caller's block in place;
// - a registry text ends within its 2,048-byte buffer.
// The first call binds the library; the table never has null entries.
const StoreApi& Store() noexcept;

// Whether the store is there: Ledra.dll was loaded and offers every function, or a test bound a
// double. Without it every listing is empty and every read fails.
bool StoreLoaded() noexcept;

// Replaces the store behind the checks for a test; null restores the library. The table must
// outlive its use.
void BindStoreForTesting(const StoreApi* api) noexcept;

// The library's own functions, unchecked: for doubles that keep some of them. Each binding
// (native, Windows) provides it.
const StoreApi& LibraryStore() noexcept;
bool LibraryStoreLoaded() noexcept;

// A 3,000-byte block for the store to fill (a certificate or an encrypted private key). The block
// is the caller's: its whole capacity is wiped when it is released, whatever length the store
// reported.
uint8_t* NewStoreBlock();
void ReleaseStoreBlock(uint8_t* block) noexcept;

// A store block owned by one call: `buffer` is what the store is handed.
class StoreBlock {
public:
    StoreBlock() : block_(NewStoreBlock()) { buffer.data = block_; }
    StoreBlock(const StoreBlock&) = delete;
    StoreBlock& operator=(const StoreBlock&) = delete;
    ~StoreBlock() { ReleaseStoreBlock(block_); }

    ByteBuffer buffer{0, nullptr};

private:
    uint8_t* block_;
};

} // namespace qm
