// Doubles of the crypto engine and the certificate store for the crypto objects' own contracts.
// The engine double does real (if toy) work so that round trips can be checked, hands out every
// block from a ledger so that leaks and stray frees show, and fails any function on request.
#pragma once

#include "external/engine.h"
#include "external/store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace doubles {

// Algorithms the double knows: name, id, key length, IV length.
struct Algorithm {
    const char* name;
    int32_t id;
    int32_t keyLength;
    int32_t ivLength;
};
inline constexpr Algorithm kAes{"K16", 7, 16, 16};
inline constexpr Algorithm kDes{"K8", 8, 8, 8};
inline constexpr Algorithm kWide{"K32", 9, 32, 16};
inline constexpr int32_t kUnknownName = -501;
inline constexpr int32_t kWrongPassword = -533;
inline constexpr std::string_view kRightPassword = "open sesame";
inline constexpr int32_t kDigestId = 101;
inline constexpr int32_t kDigestLength = 20;

struct EngineState {
    std::vector<std::string> calls;          // names of the engine functions called, in order
    std::map<std::string, int32_t> failures; // function name -> code it returns instead
    std::set<const void*> live;              // blocks handed out and not yet freed
    int frees = 0;                           // CV_Free calls with a block
    int strayFrees = 0;                      // CV_Free of something that is not a live block
    int contexts = 0;                        // contexts initialised and not yet freed
    // What the last calls were given.
    std::string lastPassword;
    int32_t lastVerifyLengths[4] = {-1, -1, -1, -1}; // certificate, CA, CRL, ARL
    bool lastVerifyNullData[2] = {false, false};     // CRL, ARL data null
    int32_t keyLengthOverride = -1;                  // when >= 0, CV_KeyLength's answer
    bool pemDecodeEmpty = false;                     // CV_PemDecode succeeds with no bytes

    int Count(const std::string& name) const;
};

EngineState& Engine();
const EngineApi& EngineTable();

struct StoreState {
    std::vector<std::string> calls;
    std::string lastDn;
    int32_t lastKind = -1, lastMedium = -1, lastSiteCode = -1;
    std::string lastPassword;
    std::vector<uint8_t> certificate;      // what LD_GetMyCert, LD_GetCert and LD_GetKey deliver
    int32_t result = 0;                    // what they return
    std::optional<int32_t> reportedLength; // the length they report instead, whatever it is
    uint8_t* handBack = nullptr;           // a block of its own they hand back instead of ours
    std::optional<int32_t> reportedCount;  // what the three listings return (else 0)
    bool unterminatedText = false;         // LD_GetRegValueSZ fills its 2,048 bytes, no NUL
};

StoreState& Store();
const StoreApi& StoreTable();

// Base64 as the double's engine writes it (standard alphabet, padding).
std::string Base64(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> Bytes(std::string_view text);
// A PEM text of the given bytes that the double's CV_PemDecode reads.
std::string Pem(const std::vector<uint8_t>& bytes, const char* label = "CERTIFICATE");
// The double's digest of the bytes.
std::vector<uint8_t> Digest(const std::vector<uint8_t>& bytes);

} // namespace doubles

// Binds both doubles for the test and, afterwards, checks that every engine block handed out was
// returned exactly once, that every context was freed, and restores the real bindings.
class DoublesTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    doubles::EngineState& engine() { return doubles::Engine(); }
    doubles::StoreState& store() { return doubles::Store(); }
    void FailEngine(const std::string& name, int32_t code) { engine().failures[name] = code; }
    size_t LiveBlocks() const { return doubles::Engine().live.size(); }
};
