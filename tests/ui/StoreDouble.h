// A certificate store double for the selection dialog: it lists the records a test gives it,
// delivers certificates for the DNs a test makes readable, and records how it was called.
#pragma once

#include "external/store.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace uitest {

struct StoreCall {
    std::string function;
    int32_t kind = -1;
    int32_t medium = -1;
    int32_t siteCode = -1;
    std::string password;
    std::string dn;
};

struct FakeStore {
    std::vector<CertInfoRecord> records; // at most 30 are written
    int32_t reportedCount = -1;          // when >= 0, the count returned instead
    std::map<std::string, std::vector<uint8_t>> certificates; // readable DNs and their bytes
    std::optional<int32_t> reportedLength; // reported for a certificate instead of its length
    uint8_t* handBack = nullptr;           // a block of the store's own, handed back instead
    std::vector<StoreCall> calls;
};

// A record with the given DNs (cut to their slots) and expiry.
CertInfoRecord Record(const std::string& subject, const std::string& issuer, int32_t expiry);

// Noon of a day, local time, as the store's 32-bit expiry.
int32_t LocalNoon(int year, int month, int day);

// Narrow text in the ANSI code page (949 under the project's Wine), as the store writes it.
std::string Ansi(const wchar_t* text);

// Binds `store` as qm::Store() for the scope's life.
class ScopedStore {
public:
    explicit ScopedStore(FakeStore& store);
    ~ScopedStore();
    ScopedStore(const ScopedStore&) = delete;
    ScopedStore& operator=(const ScopedStore&) = delete;
};

// Array allocations (new[]) of the whole program while counting is on: the dialog's DN copies,
// its result block and its record area are all made that way. A record area (30 records) always
// ends at a page that cannot be read, so that reading past it crashes the test.
namespace allocations {
void Start();
void Stop();
long Live(); // made minus released since Start
} // namespace allocations

} // namespace uitest
