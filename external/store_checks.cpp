// What every caller of the certificate store gets: the bound library (or a test's double) behind
// checks of everything it hands back. The callers size their areas by the interface (30 listing
// entries, 3,000-byte blocks, 2,048-byte texts) and wipe and copy by the lengths they are told,
// so a store that answers beyond those sizes would make them read or write past their memory.
// The checks live here, once, for the native and the Windows binding alike.
#include "external/store.h"

#include "platform/SecureWipe.h"

#include <atomic>

namespace {

std::atomic<const StoreApi*> g_override{nullptr};

const StoreApi& Bound() noexcept {
    const StoreApi* api = g_override.load(std::memory_order_acquire);
    return api != nullptr ? *api : qm::LibraryStore();
}

// A count beyond the caller's area is cut to the area. One of 0 or less means "none" to every
// caller and stays as the store gave it.
int32_t ListingCount(int32_t count) {
    return count > qm::kMaxListEntries ? qm::kMaxListEntries : count;
}

bool IsCallersBlock(const ByteBuffer* output) {
    return output != nullptr && output->data != nullptr;
}

// The store wrote into `block` and says how much: only a length within the block, in the block
// the caller gave, is success. Whatever the outcome, the caller finds its own block again, and a
// failure leaves no length to trust.
int32_t CheckedBlock(int32_t result, uint8_t* block, ByteBuffer* output) {
    bool inPlace = output->data == block;
    output->data = block;
    if (result == 0 && (!inPlace || output->length < 0 || output->length > qm::kStoreBlockSize)) {
        result = qm::kStoreBlockRefused;
    }
    if (result != 0) {
        output->length = 0;
    }
    return result;
}

int32_t QM_CDECL LD_GetKeyDN(int32_t kind, char* dnArea, int32_t medium, int32_t siteCode) {
    return ListingCount(Bound().LD_GetKeyDN(kind, dnArea, medium, siteCode));
}

int32_t QM_CDECL LD_GetKeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium,
                               int32_t siteCode, const char* password) {
    return ListingCount(Bound().LD_GetKeyInfo(kind, records, medium, siteCode, password));
}

int32_t QM_CDECL LD_GetCertInfo(int32_t kind, CertInfoRecord* records, int32_t siteCode) {
    return ListingCount(Bound().LD_GetCertInfo(kind, records, siteCode));
}

int32_t QM_CDECL LD_GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                              const char* password, ByteBuffer* output) {
    if (!IsCallersBlock(output)) {
        return qm::kStoreBlockRefused; // no block to write into: the store is not asked
    }
    uint8_t* block = output->data;
    return CheckedBlock(Bound().LD_GetMyCert(dn, kind, medium, siteCode, password, output), block,
                        output);
}

int32_t QM_CDECL LD_GetCert(const char* dn, int32_t kind, ByteBuffer* output) {
    if (!IsCallersBlock(output)) {
        return qm::kStoreBlockRefused;
    }
    uint8_t* block = output->data;
    return CheckedBlock(Bound().LD_GetCert(dn, kind, output), block, output);
}

int32_t QM_CDECL LD_GetKey(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                           const char* password, ByteBuffer* output) {
    if (!IsCallersBlock(output)) {
        return qm::kStoreBlockRefused;
    }
    uint8_t* block = output->data;
    return CheckedBlock(Bound().LD_GetKey(dn, kind, medium, siteCode, password, output), block,
                        output);
}

int32_t QM_CDECL LD_IsRegKey(const char* keyPath, const char* valueName) {
    return Bound().LD_IsRegKey(keyPath, valueName);
}

int32_t QM_CDECL LD_GetRegValueN(const char* keyPath, const char* valueName, int32_t* value) {
    return Bound().LD_GetRegValueN(keyPath, valueName, value);
}

int32_t QM_CDECL LD_SetRegValueN(const char* keyPath, const char* valueName, int32_t value) {
    return Bound().LD_SetRegValueN(keyPath, valueName, value);
}

int32_t QM_CDECL LD_GetRegValueSZ(const char* keyPath, const char* valueName, char* text) {
    int32_t result = Bound().LD_GetRegValueSZ(keyPath, valueName, text);
    if (text != nullptr) {
        text[qm::kRegTextSize - 1] = '\0'; // the readers measure it with strlen
    }
    return result;
}

int32_t QM_CDECL LD_SetRegValueSZ(const char* keyPath, const char* valueName, const char* text) {
    return Bound().LD_SetRegValueSZ(keyPath, valueName, text);
}

// Each function of the store's table by its own name.
constexpr StoreApi kChecked{
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments) .name = name,
#include "store/core/functions.inc"
};

} // namespace

namespace qm {

const StoreApi& Store() noexcept {
    return kChecked;
}

bool StoreLoaded() noexcept {
    return g_override.load(std::memory_order_acquire) != nullptr || LibraryStoreLoaded();
}

void BindStoreForTesting(const StoreApi* api) noexcept {
    g_override.store(api, std::memory_order_release);
}

uint8_t* NewStoreBlock() {
    return new uint8_t[kStoreBlockSize]();
}

void ReleaseStoreBlock(uint8_t* block) noexcept {
    if (block != nullptr) {
        SecureWipe(block, kStoreBlockSize);
        delete[] block;
    }
}

} // namespace qm
