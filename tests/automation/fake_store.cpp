#include "tests/automation/fake_store.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

FakeStore* FakeStore::current = nullptr;

namespace {

FakeStore& S() {
    return *FakeStore::current;
}

int32_t Deliver(int32_t result, const std::vector<uint8_t>& bytes,
                const std::optional<int32_t>& reported, ByteBuffer* output) {
    if (result != 0) {
        return result;
    }
    size_t n = std::min<size_t>(bytes.size(), qm::kStoreBlockSize);
    if (n > 0) {
        std::memcpy(output->data, bytes.data(), n);
    }
    output->length = reported.value_or(int32_t(n));
    return 0;
}

int32_t QM_CDECL KeyDN(int32_t, char* area, int32_t medium, int32_t site) {
    ++S().keyDnCalls;
    S().lastMedium = medium;
    S().lastSiteCode = site;
    size_t slots = std::min<size_t>(S().dns.size(), qm::kMaxListEntries);
    for (size_t i = 0; i < slots; ++i) {
        std::strncpy(area + i * qm::kDnSlotSize, S().dns[i].c_str(), qm::kDnSlotSize - 1);
        area[i * qm::kDnSlotSize + qm::kDnSlotSize - 1] = '\0';
    }
    return S().reportedCount >= 0 ? S().reportedCount : int32_t(slots);
}
int32_t QM_CDECL KeyInfo(int32_t, CertInfoRecord*, int32_t, int32_t, const char*) {
    return 0;
}
int32_t QM_CDECL CertInfo(int32_t, CertInfoRecord* records, int32_t) {
    ++S().certInfoCalls;
    size_t n = std::min<size_t>(S().records.size(), qm::kMaxListEntries);
    std::copy_n(S().records.begin(), n, records);
    return int32_t(n);
}
int32_t QM_CDECL MyCert(const char*, int32_t, int32_t medium, int32_t site, const char* password,
                        ByteBuffer* output) {
    ++S().myCertCalls;
    S().lastMedium = medium;
    S().lastSiteCode = site;
    S().lastPassword = password != nullptr ? password : "<null>";
    return Deliver(S().myCertResult, S().myCert, S().myCertLength, output);
}
int32_t QM_CDECL Cert(const char*, int32_t, ByteBuffer* output) {
    ++S().certCalls;
    return Deliver(S().certResult, S().cert, std::nullopt, output);
}
int32_t QM_CDECL Key(const char*, int32_t, int32_t, int32_t, const char*, ByteBuffer* output) {
    ++S().keyCalls;
    return Deliver(S().keyResult, S().key, S().keyLength, output);
}

StoreApi g_real;

int32_t QM_CDECL IsRegKey(const char* path, const char* name) {
    ++S().registryCalls;
    return g_real.LD_IsRegKey(path, name);
}
int32_t QM_CDECL GetRegN(const char* path, const char* name, int32_t* value) {
    ++S().registryCalls;
    return g_real.LD_GetRegValueN(path, name, value);
}
int32_t QM_CDECL SetRegN(const char* path, const char* name, int32_t value) {
    ++S().registryCalls;
    return g_real.LD_SetRegValueN(path, name, value);
}
int32_t QM_CDECL GetRegSZ(const char* path, const char* name, char* text) {
    ++S().registryCalls;
    return g_real.LD_GetRegValueSZ(path, name, text);
}
int32_t QM_CDECL SetRegSZ(const char* path, const char* name, const char* text) {
    ++S().registryCalls;
    return g_real.LD_SetRegValueSZ(path, name, text);
}

StoreApi MakeTable() {
    g_real = qm::LibraryStore(); // registry functions stay real, counted
    StoreApi api = g_real;
    api.LD_IsRegKey = IsRegKey;
    api.LD_GetRegValueN = GetRegN;
    api.LD_SetRegValueN = SetRegN;
    api.LD_GetRegValueSZ = GetRegSZ;
    api.LD_SetRegValueSZ = SetRegSZ;
    api.LD_GetKeyDN = KeyDN;
    api.LD_GetKeyInfo = KeyInfo;
    api.LD_GetCertInfo = CertInfo;
    api.LD_GetMyCert = MyCert;
    api.LD_GetCert = Cert;
    api.LD_GetKey = Key;
    return api;
}

StoreApi g_table;

} // namespace

BindFakeStore::BindFakeStore(FakeStore& store) {
    FakeStore::current = &store;
    qm::BindStoreForTesting(nullptr);
    g_table = MakeTable();
    qm::BindStoreForTesting(&g_table);
}

BindFakeStore::~BindFakeStore() {
    qm::BindStoreForTesting(nullptr);
    FakeStore::current = nullptr;
}

std::vector<uint8_t> Fixture(const char* name) {
    std::ifstream in(std::string(QM_FIXTURES) + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string FixtureText(const char* name) {
    std::vector<uint8_t> bytes = Fixture(name);
    return std::string(bytes.begin(), bytes.end());
}
