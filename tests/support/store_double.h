// The certificate store's double, bound in place of Ledra.dll: it lists and hands out exactly what
// a test puts in it, gives the answers a test asks for (a damaged or hostile store's among them),
// and records every call it gets. Its registry functions find no values, or are the library's own,
// recorded all the same.
#pragma once

#include "external/store.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qmtest {

// One call the store was given, with its arguments (-1 and "" where the function has none; a null
// string as "<null>").
struct StoreCall {
    std::string function;
    int32_t kind = -1;
    int32_t medium = -1;
    int32_t siteCode = -1;
    std::string password;
    std::string dn;
};

// What one of the reading functions answers.
struct StoreRead {
    int32_t result = 0;         // returned; when 0, the bytes are written into the caller's block
    std::vector<uint8_t> bytes; // at most 3,000 of them are written
    std::optional<int32_t> reportedLength; // the length it reports instead, whatever it wrote
};

struct StoreDouble {
    // The listings. LD_GetKeyDN writes the DNs, one per slot, and LD_GetKeyInfo and
    // LD_GetCertInfo the records (at most 30 of either); each returns how many it wrote, or
    // `reportedCount`.
    std::vector<std::string> dns;
    std::vector<CertInfoRecord> records;
    std::optional<int32_t> reportedCount;

    // The reads. Each function gives its own answer, except for a DN that `certificates` names,
    // which every read delivers with success.
    StoreRead myCert; // LD_GetMyCert
    StoreRead cert;   // LD_GetCert
    StoreRead key;    // LD_GetKey
    std::map<std::string, std::vector<uint8_t>> certificates;
    uint8_t* handBack = nullptr; // a block of the store's own, handed back instead of the caller's

    // The registry: no values (every read fails and leaves an empty text), unless the library's
    // functions are to answer.
    bool libraryRegistry = false;
    bool unterminatedText = false; // LD_GetRegValueSZ fills its 2,048 bytes, no NUL

    // What the store was asked, in order.
    std::vector<StoreCall> calls;

    int Count(std::string_view function) const;
    std::vector<std::string> Functions() const; // the calls' function names, in order
    // The last call of `function` (a default call when there was none).
    StoreCall Last(std::string_view function) const;
};

// Binds a store double as qm::Store() for the scope's life.
class ScopedStoreDouble {
public:
    explicit ScopedStoreDouble(StoreDouble& store);
    ~ScopedStoreDouble();
    ScopedStoreDouble(const ScopedStoreDouble&) = delete;
    ScopedStoreDouble& operator=(const ScopedStoreDouble&) = delete;
};

// A record with the given DNs (cut to their slots) and expiry.
CertInfoRecord Record(const std::string& subject, const std::string& issuer, int32_t expiry);

} // namespace qmtest
