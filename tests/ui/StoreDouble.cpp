#include "StoreDouble.h"

#include <ctime>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace uitest {

namespace {

FakeStore* g_store = nullptr;

int32_t Listing(CertInfoRecord* records) {
    size_t written = std::min<size_t>(g_store->records.size(), qm::kMaxListEntries);
    std::memcpy(records, g_store->records.data(), written * sizeof(CertInfoRecord));
    return g_store->reportedCount >= 0 ? g_store->reportedCount : int32_t(written);
}

int32_t Deliver(const char* dn, ByteBuffer* output) {
    auto found = g_store->certificates.find(dn);
    if (found == g_store->certificates.end()) {
        return -1;
    }
    std::memcpy(output->data, found->second.data(), found->second.size());
    output->length = g_store->reportedLength.value_or(int32_t(found->second.size()));
    if (g_store->handBack != nullptr) {
        output->data = g_store->handBack;
    }
    return 0;
}

int32_t QM_CDECL KeyDN(int32_t, char*, int32_t, int32_t) {
    return 0;
}
int32_t QM_CDECL KeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium, int32_t siteCode,
                         const char* password) {
    g_store->calls.push_back({"LD_GetKeyInfo", kind, medium, siteCode, password, ""});
    return Listing(records);
}
int32_t QM_CDECL CertInfo(int32_t kind, CertInfoRecord* records, int32_t siteCode) {
    g_store->calls.push_back({"LD_GetCertInfo", kind, -1, siteCode, "", ""});
    return Listing(records);
}
int32_t QM_CDECL MyCert(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                        const char* password, ByteBuffer* output) {
    g_store->calls.push_back({"LD_GetMyCert", kind, medium, siteCode, password, dn});
    return Deliver(dn, output);
}
int32_t QM_CDECL Cert(const char* dn, int32_t kind, ByteBuffer* output) {
    g_store->calls.push_back({"LD_GetCert", kind, -1, -1, "", dn});
    return Deliver(dn, output);
}
int32_t QM_CDECL IsRegKey(const char*, const char*) {
    return 0;
}
int32_t QM_CDECL GetN(const char*, const char*, int32_t* value) {
    *value = 0;
    return 0;
}
int32_t QM_CDECL SetN(const char*, const char*, int32_t) {
    return 0;
}
int32_t QM_CDECL GetSZ(const char*, const char*, char* text) {
    text[0] = '\0';
    return 0;
}
int32_t QM_CDECL SetSZ(const char*, const char*, const char*) {
    return 0;
}

const StoreApi kTable{KeyDN,    KeyInfo, CertInfo, MyCert, Cert, MyCert,
                      IsRegKey, GetN,    SetN,     GetSZ,  SetSZ};

std::atomic<bool> g_counting{false};
std::atomic<long> g_live{0};

} // namespace

int32_t LocalNoon(int year, int month, int day) {
    struct tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    return int32_t(_mktime64(&local));
}

CertInfoRecord Record(const std::string& subject, const std::string& issuer, int32_t expiry) {
    CertInfoRecord record{};
    std::memcpy(record.subjectDN, subject.data(),
                std::min(subject.size(), sizeof(record.subjectDN) - 1));
    std::memcpy(record.issuerDN, issuer.data(),
                std::min(issuer.size(), sizeof(record.issuerDN) - 1));
    record.expiry = expiry;
    return record;
}

std::string Ansi(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

ScopedStore::ScopedStore(FakeStore& store) {
    g_store = &store;
    qm::BindStoreForTesting(&kTable);
}

ScopedStore::~ScopedStore() {
    qm::BindStoreForTesting(nullptr);
    g_store = nullptr;
}

namespace allocations {
void Start() {
    g_live = 0;
    g_counting = true;
}
void Stop() {
    g_counting = false;
}
long Live() {
    return g_live.load();
}
} // namespace allocations

} // namespace uitest

namespace {

// Record areas (30 records) end right at a page that cannot be touched: a dialog that read a
// record beyond the 30th would crash the test instead of reading whatever lies there.
constexpr size_t kFencedSize = size_t(qm::kRecordAreaSize);
constexpr int kFenceSlots = 8;
std::atomic<void*> g_fenced[kFenceSlots];

void* FencedBlock() {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    size_t page = system.dwPageSize;
    size_t span = (kFencedSize + page - 1) / page * page;
    auto* base = static_cast<BYTE*>(
        VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    if (base == nullptr || !VirtualProtect(base + span, page, PAGE_NOACCESS, &previous)) {
        return nullptr;
    }
    void* block = base + span - kFencedSize;
    for (auto& slot : g_fenced) {
        void* empty = nullptr;
        if (slot.compare_exchange_strong(empty, block)) {
            return block;
        }
    }
    VirtualFree(base, 0, MEM_RELEASE);
    return nullptr;
}

bool ReleaseFenced(void* block) {
    for (auto& slot : g_fenced) {
        void* expected = block;
        if (slot.compare_exchange_strong(expected, nullptr)) {
            MEMORY_BASIC_INFORMATION region{};
            VirtualQuery(block, &region, sizeof(region));
            VirtualFree(region.AllocationBase, 0, MEM_RELEASE);
            return true;
        }
    }
    return false;
}

} // namespace

// Array allocations are counted, and record areas fenced; everything else passes through.
void* operator new[](size_t size) {
    void* block = size == kFencedSize ? FencedBlock() : nullptr;
    if (block == nullptr) {
        block = std::malloc(size != 0 ? size : 1);
    }
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    if (uitest::g_counting) {
        ++uitest::g_live;
    }
    return block;
}

void operator delete[](void* block) noexcept {
    if (block != nullptr && uitest::g_counting) {
        --uitest::g_live;
    }
    if (block != nullptr && ReleaseFenced(block)) {
        return;
    }
    std::free(block);
}

void operator delete[](void* block, size_t) noexcept {
    operator delete[](block);
}
