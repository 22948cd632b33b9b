#include "tests/support/store_double.h"

#include <algorithm>
#include <cstring>

namespace qmtest {

namespace {

StoreDouble* g_store = nullptr;

StoreDouble& S() {
    return *g_store;
}

std::string Text(const char* text) {
    return text != nullptr ? text : "<null>";
}

int32_t Listed(size_t written) {
    return S().reportedCount.value_or(int32_t(written));
}

int32_t QM_CDECL LD_GetKeyDN(int32_t kind, char* area, int32_t medium, int32_t siteCode) {
    S().calls.push_back({"LD_GetKeyDN", kind, medium, siteCode, "", ""});
    size_t slots = std::min<size_t>(S().dns.size(), qm::kMaxListEntries);
    for (size_t i = 0; i < slots; ++i) {
        std::strncpy(area + i * qm::kDnSlotSize, S().dns[i].c_str(), qm::kDnSlotSize - 1);
        area[i * qm::kDnSlotSize + qm::kDnSlotSize - 1] = '\0';
    }
    return Listed(slots);
}

int32_t ListRecords(CertInfoRecord* records) {
    size_t written = std::min<size_t>(S().records.size(), qm::kMaxListEntries);
    std::copy_n(S().records.begin(), written, records);
    return Listed(written);
}

int32_t QM_CDECL LD_GetKeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium,
                               int32_t siteCode, const char* password) {
    S().calls.push_back({"LD_GetKeyInfo", kind, medium, siteCode, Text(password), ""});
    return ListRecords(records);
}

int32_t QM_CDECL LD_GetCertInfo(int32_t kind, CertInfoRecord* records, int32_t siteCode) {
    S().calls.push_back({"LD_GetCertInfo", kind, -1, siteCode, "", ""});
    return ListRecords(records);
}

// A read: the DN's certificate when the test named the DN, else the function's own answer.
int32_t Deliver(const StoreRead& answer, const char* dn, ByteBuffer* output) {
    int32_t result = answer.result;
    const std::vector<uint8_t>* bytes = &answer.bytes;
    if (auto named = S().certificates.find(Text(dn)); named != S().certificates.end()) {
        result = 0;
        bytes = &named->second;
    }
    if (result == 0) {
        size_t written = std::min<size_t>(bytes->size(), qm::kStoreBlockSize);
        if (written > 0) {
            std::memcpy(output->data, bytes->data(), written);
        }
        output->length = int32_t(written);
    }
    if (answer.reportedLength) {
        output->length = *answer.reportedLength;
    }
    if (S().handBack != nullptr) {
        output->data = S().handBack;
    }
    return result;
}

int32_t QM_CDECL LD_GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                              const char* password, ByteBuffer* output) {
    S().calls.push_back({"LD_GetMyCert", kind, medium, siteCode, Text(password), Text(dn)});
    return Deliver(S().myCert, dn, output);
}

int32_t QM_CDECL LD_GetCert(const char* dn, int32_t kind, ByteBuffer* output) {
    S().calls.push_back({"LD_GetCert", kind, -1, -1, "", Text(dn)});
    return Deliver(S().cert, dn, output);
}

int32_t QM_CDECL LD_GetKey(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                           const char* password, ByteBuffer* output) {
    S().calls.push_back({"LD_GetKey", kind, medium, siteCode, Text(password), Text(dn)});
    return Deliver(S().key, dn, output);
}

// The registry functions: the library's when the test asks for them, else a registry without
// values. Records the call; whether the library's function is to answer it.
bool LibraryAnswers(const char* function) {
    S().calls.push_back({function, -1, -1, -1, "", ""});
    return S().libraryRegistry;
}

int32_t QM_CDECL LD_IsRegKey(const char* path, const char* name) {
    return LibraryAnswers("LD_IsRegKey") ? qm::LibraryStore().LD_IsRegKey(path, name) : 0;
}

int32_t QM_CDECL LD_GetRegValueN(const char* path, const char* name, int32_t* value) {
    if (LibraryAnswers("LD_GetRegValueN")) {
        return qm::LibraryStore().LD_GetRegValueN(path, name, value);
    }
    *value = 0;
    return -1;
}

int32_t QM_CDECL LD_SetRegValueN(const char* path, const char* name, int32_t value) {
    return LibraryAnswers("LD_SetRegValueN") ? qm::LibraryStore().LD_SetRegValueN(path, name, value)
                                             : 0;
}

int32_t QM_CDECL LD_GetRegValueSZ(const char* path, const char* name, char* text) {
    if (LibraryAnswers("LD_GetRegValueSZ")) {
        return qm::LibraryStore().LD_GetRegValueSZ(path, name, text);
    }
    if (S().unterminatedText) {
        std::memset(text, 'A', qm::kRegTextSize);
        return 0;
    }
    text[0] = '\0';
    return -1;
}

int32_t QM_CDECL LD_SetRegValueSZ(const char* path, const char* name, const char* text) {
    return LibraryAnswers("LD_SetRegValueSZ")
               ? qm::LibraryStore().LD_SetRegValueSZ(path, name, text)
               : 0;
}

// Each function of the store's table by its own name.
constexpr StoreApi kTable{
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments) .name = name,
#include "store/core/functions.inc"
};

} // namespace

int StoreDouble::Count(std::string_view function) const {
    return int(std::count_if(calls.begin(), calls.end(),
                             [&](const StoreCall& call) { return call.function == function; }));
}

std::vector<std::string> StoreDouble::Functions() const {
    std::vector<std::string> functions;
    for (const StoreCall& call : calls) {
        functions.push_back(call.function);
    }
    return functions;
}

StoreCall StoreDouble::Last(std::string_view function) const {
    auto last = std::find_if(calls.rbegin(), calls.rend(),
                             [&](const StoreCall& call) { return call.function == function; });
    return last != calls.rend() ? *last : StoreCall{};
}

ScopedStoreDouble::ScopedStoreDouble(StoreDouble& store) {
    g_store = &store;
    qm::BindStoreForTesting(&kTable);
}

ScopedStoreDouble::~ScopedStoreDouble() {
    qm::BindStoreForTesting(nullptr);
    g_store = nullptr;
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

} // namespace qmtest
