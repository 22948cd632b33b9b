// The crypto engine's double, bound in place of Corvane.dll. It does the engine's work one of two
// ways: work of its own (a toy, but real enough that round trips can be checked), or the library's
// own engine, each call passed on. Either way it counts the calls, fails the ones a test names (a
// function, or the n-th call from a point on), and keeps a ledger of the blocks it hands out until
// they come back through CV_Free, so that a block left behind or freed twice shows.
#pragma once

#include "external/engine.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qmtest {

enum class EngineWork {
    Toy,     // the double's own work: the algorithms below, Base64 and PEM of its own
    Library, // the library's engine: every call passed on, failures injected
};

// What a call that a test makes fail by its place (FailCall) returns.
inline constexpr int32_t kInjectedFailure = -1999;

struct EngineDouble {
    // What the test asks of it.
    EngineWork work = EngineWork::Toy; // set by BindEngineDouble
    // Function name -> the code it returns instead (with, from the toy, outputs that must not be
    // read or freed).
    std::map<std::string, int32_t, std::less<>> failures;
    int failAt = 0;              // see FailCall
    bool pemDecodeEmpty = false; // CV_PemDecode succeeds with no bytes (toy)
    // Passing calls on: functions that succeed without calling the engine and hand back nothing
    // ({0, null}, or a null text): what another engine may answer where this one refuses (an
    // empty PEM block).
    std::set<std::string, std::less<>> emptySuccesses;
    // Passing calls on: a failure the double makes leaves in the call's outputs what a faulty
    // engine might, as the toy's failures do. Off: the outputs stay as the caller gave them, as
    // the engine leaves them.
    bool junkOnFailure = false;
    // Passing calls on: keep the names of the calls in `calls`, as the toy does. Off, the double
    // only counts, so that a test that counts every allocation of the program sees none of its
    // own.
    bool recordCalls = false;

    // What it saw.
    std::vector<std::string> calls;        // names of the engine functions called, in order
    int counted = 0;                       // calls since the last FailCall, CV_Free aside
    std::set<const void*> live;            // blocks handed out and not yet freed
    int frees = 0;                         // CV_Free calls with a block
    int strayFrees = 0;                    // CV_Free of something that is not a live block
    int contexts = 0;                      // contexts initialised and not yet freed
    std::vector<uint8_t> lastEncryptedKey; // what CV_DecryptPrivateKey was last given (recordCalls)
    std::string lastPassword;              // what the last calls were given (toy)
    int32_t lastVerifyLengths[4] = {-1, -1, -1, -1}; // certificate, CA, CRL, ARL
    bool lastVerifyNullData[2] = {false, false};     // CRL, ARL data null

    // The index-th call from now on (1-based, CV_Free aside) fails with kInjectedFailure, as an
    // engine failure does: with no output. 0: none fails.
    void FailCall(int index) {
        counted = 0;
        failAt = index;
    }
    int Count(std::string_view name) const;
};

// Binds the double, in a fresh state, in place of the engine; the state stays readable until the
// next binding.
EngineDouble& BindEngineDouble(EngineWork work);
// Restores the library's engine. Toy blocks still live are released.
void UnbindEngineDouble();

// What the toy knows.
namespace toy {

// Algorithms: name, id, key length, IV length.
struct Algorithm {
    const char* name;
    int32_t id;
    int32_t keyLength;
    int32_t ivLength;
};
inline constexpr Algorithm kAes{"K16", 7, 16, 16};
inline constexpr Algorithm kDes{"K8", 8, 8, 8};
inline constexpr int32_t kUnknownName = -501;
inline constexpr int32_t kWrongPassword = -533;
inline constexpr std::string_view kRightPassword = "open sesame";
inline constexpr int32_t kDigestId = 101;
inline constexpr int32_t kDigestLength = 20;

// Base64 as the toy writes it (standard alphabet, padding).
std::string Base64(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> Bytes(std::string_view text);
// A PEM text of the given bytes that the toy's CV_PemDecode reads.
std::string Pem(const std::vector<uint8_t>& bytes, const char* label = "CERTIFICATE");
// The toy's digest of the bytes.
std::vector<uint8_t> Digest(const std::vector<uint8_t>& bytes);

} // namespace toy

} // namespace qmtest
