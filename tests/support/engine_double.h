// The crypto engine's double, bound in place of Corvane.dll: each call is passed on to the
// library's own engine. On the way it counts the calls, fails the ones a test names (a function,
// or the n-th call from a point on), and keeps a ledger of the blocks the engine hands out until
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

// What a call that a test makes fail by its place (FailCall) returns.
inline constexpr int32_t kInjectedFailure = -1999;

struct EngineDouble {
    // What the test asks of it.
    // Function name -> the code it returns instead, without calling the engine.
    std::map<std::string, int32_t, std::less<>> failures;
    int failAt = 0; // see FailCall
    // Functions that succeed without calling the engine and hand back nothing ({0, null}, or a
    // null text): what another engine may answer where this one refuses (an empty PEM block).
    std::set<std::string, std::less<>> emptySuccesses;
    // A failure the double makes leaves in the call's outputs what a faulty engine might: a block
    // that must not be read or freed (freeing it counts as a stray free; reading it runs past a
    // one-byte object, which the sanitizers see). Off: the outputs stay as the caller gave them,
    // as the engine leaves them.
    bool junkOnFailure = false;
    // Keep the names of the calls in `calls`. Off, the double only counts, so that a test that
    // counts every allocation of the program sees none of its own.
    bool recordCalls = false;

    // What it saw.
    std::vector<std::string> calls;        // names of the engine functions called, in order
    int counted = 0;                       // calls since the last FailCall, CV_Free aside
    std::set<const void*> live;            // blocks handed out and not yet freed
    int frees = 0;                         // CV_Free calls with a block
    int strayFrees = 0;                    // CV_Free of something that is not a live block
    int contexts = 0;                      // contexts initialised and not yet freed
    std::vector<uint8_t> lastEncryptedKey; // what CV_DecryptPrivateKey was last given (recordCalls)

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
EngineDouble& BindEngineDouble();
// Restores the library's engine.
void UnbindEngineDouble();

} // namespace qmtest
