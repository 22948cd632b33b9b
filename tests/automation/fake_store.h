// A certificate store double for the automation tests: it lists and hands out exactly what a test
// puts in it, reports the failures a test asks for, and counts the calls it gets. Binding it
// replaces the real Ledra.dll for the life of the binder.
#pragma once

#include "external/store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct FakeStore {
    // Listing
    std::vector<std::string> dns; // written to the DN area, one per slot (at most 30)
    int32_t reportedCount = -1;   // returned instead of dns.size() when not negative
    // Recipients, as the selection dialog lists and reads them
    std::vector<CertInfoRecord> records;
    int32_t certResult = -1;
    std::vector<uint8_t> cert;
    // Certificates and keys
    int32_t myCertResult = 0;
    std::vector<uint8_t> myCert;
    std::optional<int32_t> myCertLength; // reported instead of what was written, whatever it is
    int32_t keyResult = 0;
    std::vector<uint8_t> key;
    std::optional<int32_t> keyLength;
    // What the store was asked
    int keyDnCalls = 0;
    int certInfoCalls = 0;
    int myCertCalls = 0;
    int keyCalls = 0;
    int certCalls = 0;
    int registryCalls = 0; // the registry functions stay the real ones, counted
    int32_t lastMedium = -1;
    int32_t lastSiteCode = -1;
    std::string lastPassword;

    static FakeStore* current;
};

class BindFakeStore {
public:
    explicit BindFakeStore(FakeStore& store);
    BindFakeStore(const BindFakeStore&) = delete;
    BindFakeStore& operator=(const BindFakeStore&) = delete;
    ~BindFakeStore();
};

// A file the fixture script made (see make-fixtures.sh).
std::vector<uint8_t> Fixture(const char* name);
std::string FixtureText(const char* name);
