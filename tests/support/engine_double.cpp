#include "tests/support/engine_double.h"

#include <algorithm>
#include <tuple>
#include <type_traits>

namespace qmtest {

namespace {

EngineDouble g_engine;
EngineApi g_library; // the library's engine, while the double passes calls on to it

// Records and counts the call; the code it is to fail with, or 0.
int32_t Enter(const char* name) {
    if (g_engine.recordCalls) {
        g_engine.calls.emplace_back(name);
    }
    if (++g_engine.counted == g_engine.failAt) {
        return kInjectedFailure;
    }
    auto failure = g_engine.failures.find(std::string_view(name));
    return failure != g_engine.failures.end() ? failure->second : 0;
}

// What a failure of the double's making leaves in the outputs when the test asks for junk.
uint8_t g_junk[1];

// The block a call handed out: a ByteBuffer's data, a text or a block of CV_RandomBytes.
const void* Block(const ByteBuffer& buffer) {
    return buffer.data;
}
const void* Block(const void* block) {
    return block;
}

// One call: counted, failed when the test says so, else passed on; a block that it hands out
// through `output`, its last parameter, goes into the ledger.
template <typename Output, typename Library>
int32_t Call(const char* name, Output* output, Library library) {
    if (int32_t failure = Enter(name)) {
        if (g_engine.junkOnFailure && output != nullptr) {
            if constexpr (std::is_same_v<Output, ByteBuffer>) {
                *output = ByteBuffer{13, g_junk};
            } else if constexpr (std::is_same_v<Output, char*>) {
                *output = reinterpret_cast<char*>(g_junk);
            } // a block of CV_RandomBytes, or no block at all, is left alone
        }
        return failure;
    }
    if constexpr (std::is_same_v<Output, ByteBuffer> || std::is_pointer_v<Output>) {
        if (output != nullptr && g_engine.emptySuccesses.count(std::string_view(name)) != 0) {
            *output = Output{};
            return 0;
        }
        int32_t result = library();
        if (result == 0 && output != nullptr && Block(*output) != nullptr) {
            g_engine.live.insert(Block(*output));
        }
        return result;
    }
    return library();
}

template <typename... Args> auto Last(Args... args) {
    return std::get<sizeof...(Args) - 1>(std::tuple(args...));
}

// Each function of the engine passed on through Call, as most of them are.
struct Passed {
#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments)                                   \
    static int32_t QM_CDECL name parameters {                                                      \
        return Call(#name, Last arguments, [&] { return g_library.name arguments; });              \
    }
#include "engine/core/functions.inc"
};

// Contexts that the engine initialised (change 1) or freed (-1).
template <auto passed, int change> int32_t QM_CDECL Contexts(EngineContext* context) {
    int32_t result = passed(context);
    g_engine.contexts += result == 0 ? change : 0;
    return result;
}

// The functions with something of their own to do; their names hide those of Passed.
struct Own : Passed {
    static constexpr auto CV_ContextInit = &Contexts<&Passed::CV_ContextInit, 1>;
    static constexpr auto CV_ContextFree = &Contexts<&Passed::CV_ContextFree, -1>;

    // Releasing never fails on request: a failed release would leak.
    static int32_t QM_CDECL CV_Free(void* block) {
        if (g_engine.recordCalls) {
            g_engine.calls.emplace_back("CV_Free");
        }
        g_engine.frees += block != nullptr ? 1 : 0;
        if (block != nullptr && g_engine.live.erase(block) == 0) {
            ++g_engine.strayFrees;
            if (block == g_junk) {
                return corvane::err::kUnknownBlock;
            }
        }
        return g_library.CV_Free(block);
    }

    static int32_t QM_CDECL CV_DecryptPrivateKey(EngineContext* context, const ByteBuffer* key,
                                                 const ByteBuffer* password, ByteBuffer* output) {
        if (g_engine.recordCalls && key != nullptr && key->data != nullptr && key->length > 0) {
            g_engine.lastEncryptedKey.assign(key->data, key->data + key->length);
        }
        return Passed::CV_DecryptPrivateKey(context, key, password, output);
    }

    // The detail text comes back whether the certificate validates or not.
    static int32_t QM_CDECL CV_VerifyCertificate(EngineContext* context,
                                                 const ByteBuffer* certificate,
                                                 const ByteBuffer* ca, const ByteBuffer* crl,
                                                 const ByteBuffer* arl, char** detail) {
        if (int32_t failure = Enter("CV_VerifyCertificate")) {
            return failure;
        }
        int32_t result = g_library.CV_VerifyCertificate(context, certificate, ca, crl, arl, detail);
        if (detail != nullptr && *detail != nullptr) {
            g_engine.live.insert(*detail);
        }
        return result;
    }
};

constexpr EngineApi kTable{
#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments) .name = Own::name,
#include "engine/core/functions.inc"
};

} // namespace

int EngineDouble::Count(std::string_view name) const {
    return int(std::count(calls.begin(), calls.end(), name));
}

EngineDouble& BindEngineDouble() {
    UnbindEngineDouble();
    g_engine = EngineDouble{};
    g_library = qm::Engine();
    qm::BindEngineForTesting(&kTable);
    return g_engine;
}

void UnbindEngineDouble() {
    qm::BindEngineForTesting(nullptr);
}

} // namespace qmtest
