// The certificate store Ledra.dll, reached by name. Its functions take narrow strings in the
// system's ANSI code page and write into areas that the caller allocates (see abi.h for sizes).
#pragma once

#include "platform/abi.h"

struct StoreApi {
    // Count of DNs written to `dnArea`, one NUL-terminated DN per 256-byte slot, at most 30.
    int32_t(QM_CDECL* LD_GetKeyDN)(int32_t kind, char* dnArea, int32_t medium, int32_t siteCode);
    // Count of records written to `records`, at most 30.
    int32_t(QM_CDECL* LD_GetKeyInfo)(int32_t kind, CertInfoRecord* records, int32_t medium,
                                     int32_t siteCode, const char* password);
    int32_t(QM_CDECL* LD_GetCertInfo)(int32_t kind, CertInfoRecord* records, int32_t siteCode);
    // 0: the DER bytes are in `output->data` (a caller's 3,000-byte block) and the length is set.
    int32_t(QM_CDECL* LD_GetMyCert)(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                                    const char* password, ByteBuffer* output);
    int32_t(QM_CDECL* LD_GetCert)(const char* dn, int32_t kind, ByteBuffer* output);
    // As LD_GetMyCert, with the encrypted private key.
    int32_t(QM_CDECL* LD_GetKey)(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                                 const char* password, ByteBuffer* output);
    // Nonzero when the value exists. `keyPath` is relative to HKEY_CURRENT_USER.
    int32_t(QM_CDECL* LD_IsRegKey)(const char* keyPath, const char* valueName);
    // The value functions take paths below HKEY_CURRENT_USER\SOFTWARE\TesselCorp\Oriel.
    int32_t(QM_CDECL* LD_GetRegValueN)(const char* keyPath, const char* valueName, int32_t* value);
    int32_t(QM_CDECL* LD_SetRegValueN)(const char* keyPath, const char* valueName, int32_t value);
    // Writes at most 2,047 characters and the NUL into `text` (a 2,048-byte buffer).
    int32_t(QM_CDECL* LD_GetRegValueSZ)(const char* keyPath, const char* valueName, char* text);
    int32_t(QM_CDECL* LD_SetRegValueSZ)(const char* keyPath, const char* valueName,
                                        const char* text);
};

namespace qm {

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
