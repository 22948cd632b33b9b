#include "tests/support/store_double.h"

#include <algorithm>
#include <cstring>
#include <tuple>

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
    auto named = S().certificates.find(Text(dn));
    bool isNamed = named != S().certificates.end();
    int32_t result = isNamed ? 0 : answer.result;
    const std::vector<uint8_t>& bytes = isNamed ? named->second : answer.bytes;
    if (result == 0) {
        size_t written = std::min<size_t>(bytes.size(), qm::kStoreBlockSize);
        std::copy_n(bytes.begin(), written, output->data);
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

// The registry functions, each call recorded: the library's when the test asks for them, else a
// registry without values, where a read fails and leaves an empty value or text.
int32_t NoValue(int32_t* value) {
    *value = 0;
    return -1;
}
int32_t NoValue(char* text) {
    if (S().unterminatedText) {
        std::memset(text, 'A', qm::kRegTextSize);
        return 0;
    }
    text[0] = '\0';
    return -1;
}
int32_t NoValue(...) { // LD_IsRegKey finds nothing, and a write does nothing
    return 0;
}

template <typename... Args> auto Last(Args... args) {
    return std::get<sizeof...(Args) - 1>(std::tuple(args...));
}

#define QM_STORE_core(name, parameters, arguments)
#define QM_STORE_registry(name, parameters, arguments)                                             \
    int32_t QM_CDECL name parameters {                                                             \
        S().calls.push_back({#name, -1, -1, -1, "", ""});                                          \
        return S().libraryRegistry ? qm::LibraryStore().name arguments : NoValue(Last arguments);  \
    }
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments)                             \
    QM_STORE_##layer(name, parameters, arguments)
#include "store/core/functions.inc"
#undef QM_STORE_core
#undef QM_STORE_registry

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
    std::vector<std::string> functions(calls.size());
    std::transform(calls.begin(), calls.end(), functions.begin(),
                   [](const StoreCall& call) { return call.function; });
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
