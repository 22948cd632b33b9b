// Layouts, limits and constants shared by Quillmark.dll, the crypto engine (Corvane.dll) and the
// certificate store (Ledra.dll). These structures cross between separately built binaries, so their
// sizes and offsets are fixed and checked here at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define QM_CDECL __cdecl
#else
#define QM_CDECL
#endif

// A length and a pointer to bytes. Passed by value as input, by address as the output of engine
// and store calls, which fill both fields. The buffer itself frees nothing: its holder releases
// `data` with the function that matches who filled it.
struct ByteBuffer {
    int32_t length;
    uint8_t* data;
};

// Engine state embedded in the objects that do public-key work: three words, opaque to the system.
struct EngineContext {
    uint32_t words[3];
};

// One certificate as the store lists it.
struct CertInfoRecord {
    uint8_t reserved0[100];
    char subjectDN[256];
    char issuerDN[256];
    int32_t expiry; // seconds since 1970-01-01 00:00 UTC
    uint8_t reserved1[64];
};

static_assert(sizeof(EngineContext) == 12);
static_assert(sizeof(CertInfoRecord) == 680);
static_assert(offsetof(CertInfoRecord, subjectDN) == 100);
static_assert(offsetof(CertInfoRecord, issuerDN) == 356);
static_assert(offsetof(CertInfoRecord, expiry) == 612);
static_assert(offsetof(ByteBuffer, data) == sizeof(void*));
static_assert(sizeof(ByteBuffer) == 2 * sizeof(void*));

namespace qm {

inline constexpr int kDnSlotSize = 256;    // one DN: at most 255 characters and the NUL
inline constexpr int kMaxListEntries = 30; // entries of one store listing
inline constexpr int kDnAreaSize = kDnSlotSize * kMaxListEntries;                     // 7,680
inline constexpr int kRecordAreaSize = int(sizeof(CertInfoRecord)) * kMaxListEntries; // 20,400
inline constexpr int kStoreBlockSize = 3000; // certificate or key bytes from the store
inline constexpr int kRegTextSize = 2048;    // text value buffer: 2,047 characters and the NUL
inline constexpr const char* kStorePassword = "5821";
inline constexpr int32_t kDefaultSiteCode = 700;

// What the store's functions are asked for (their `kind` argument).
inline constexpr int32_t kKindOwn = 0;       // the user's own certificate, key and DN list
inline constexpr int32_t kKindRecipient = 1; // a recipient's certificate

// Storage media are numbered 0 to 3; callers check the range before asking the store.
inline constexpr bool IsValidMedium(int32_t medium) {
    return medium >= 0 && medium <= 3;
}

// Returned by a function of the engine or the store that could not be bound (its library is
// missing or lacks the function). Never a code that either library returns itself.
inline constexpr int32_t kUnboundFunction = -90001;

// Returned in place of the store's success when a block it filled cannot be believed: a length
// outside the caller's 3,000-byte block, or data that is no longer the caller's block. It is the
// crypto objects' "nothing to copy" (-2): what the certificate loader has always answered for such
// a block.
inline constexpr int32_t kStoreBlockRefused = -2;

} // namespace qm
