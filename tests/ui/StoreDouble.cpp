#include "StoreDouble.h"

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
    output->length = int32_t(found->second.size());
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

// Array allocations are counted; everything else passes through unchanged.
void* operator new[](size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
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
    std::free(block);
}

void operator delete[](void* block, size_t) noexcept {
    operator delete[](block);
}
