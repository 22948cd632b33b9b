#include "tests/support/engine_double.h"

#include <algorithm>
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

template <typename Output> void Junk(Output* output) {
    if constexpr (std::is_same_v<Output, ByteBuffer>) {
        *output = ByteBuffer{13, g_junk};
    } else if constexpr (std::is_same_v<Output, char*>) {
        *output = reinterpret_cast<char*>(g_junk);
    } // a block of CV_RandomBytes is left alone
}

// The block a call handed out, once it has returned.
template <typename Output> const void* Block(Output* output) {
    if constexpr (std::is_same_v<Output, ByteBuffer>) {
        return output->data;
    } else {
        return *output;
    }
}

// One call of a function that hands out a block through `output`: counted, failed when the test
// says so, else passed on; the block it hands out goes into the ledger.
template <typename Output, typename Library>
int32_t Call(const char* name, Output* output, Library library) {
    if (int32_t failure = Enter(name)) {
        if (g_engine.junkOnFailure && output != nullptr) {
            Junk(output);
        }
        return failure;
    }
    if (output != nullptr && g_engine.emptySuccesses.count(std::string_view(name)) != 0) {
        *output = Output{};
        return 0;
    }
    int32_t result = library();
    if (result == 0 && output != nullptr && Block(output) != nullptr) {
        g_engine.live.insert(Block(output));
    }
    return result;
}

// The same for a function that hands out no block.
template <typename Library> int32_t Call(const char* name, Library library) {
    if (int32_t failure = Enter(name)) {
        return failure;
    }
    return library();
}

int32_t QM_CDECL CV_ContextInit(EngineContext* context) {
    int32_t result = Call("CV_ContextInit", [&] { return g_library.CV_ContextInit(context); });
    g_engine.contexts += result == 0 ? 1 : 0;
    return result;
}

int32_t QM_CDECL CV_ContextFree(EngineContext* context) {
    int32_t result = Call("CV_ContextFree", [&] { return g_library.CV_ContextFree(context); });
    g_engine.contexts -= result == 0 ? 1 : 0;
    return result;
}

// Releasing never fails on request: a failed release would leak.
int32_t QM_CDECL CV_Free(void* block) {
    if (g_engine.recordCalls) {
        g_engine.calls.emplace_back("CV_Free");
    }
    if (block != nullptr) {
        ++g_engine.frees;
        if (g_engine.live.erase(block) == 0) {
            ++g_engine.strayFrees;
            if (block == g_junk) {
                return corvane::err::kUnknownBlock;
            }
        }
    }
    return g_library.CV_Free(block);
}

int32_t QM_CDECL CV_Base64Encode(const ByteBuffer* input, char** text) {
    return Call("CV_Base64Encode", text, [&] { return g_library.CV_Base64Encode(input, text); });
}

int32_t QM_CDECL CV_Base64Decode(const char* text, ByteBuffer* output) {
    return Call("CV_Base64Decode", output, [&] { return g_library.CV_Base64Decode(text, output); });
}

int32_t QM_CDECL CV_PemDecode(const char* text, ByteBuffer* output) {
    return Call("CV_PemDecode", output, [&] { return g_library.CV_PemDecode(text, output); });
}

int32_t QM_CDECL CV_PemEncode(const ByteBuffer* der, int32_t type, char** text) {
    return Call("CV_PemEncode", text, [&] { return g_library.CV_PemEncode(der, type, text); });
}

int32_t QM_CDECL CV_Digest(int32_t digestId, const ByteBuffer* input, ByteBuffer* output) {
    return Call("CV_Digest", output, [&] { return g_library.CV_Digest(digestId, input, output); });
}

int32_t QM_CDECL CV_DigestId(const char* name, int32_t* id) {
    return Call("CV_DigestId", [&] { return g_library.CV_DigestId(name, id); });
}

int32_t QM_CDECL CV_CipherId(const char* name, int32_t* id) {
    return Call("CV_CipherId", [&] { return g_library.CV_CipherId(name, id); });
}

int32_t QM_CDECL CV_IvLength(int32_t id, int32_t* length) {
    return Call("CV_IvLength", [&] { return g_library.CV_IvLength(id, length); });
}

int32_t QM_CDECL CV_KeyLength(int32_t id, int32_t* length) {
    return Call("CV_KeyLength", [&] { return g_library.CV_KeyLength(id, length); });
}

int32_t QM_CDECL CV_RandomBytes(int32_t source, int32_t count, uint8_t** block) {
    return Call("CV_RandomBytes", block,
                [&] { return g_library.CV_RandomBytes(source, count, block); });
}

int32_t QM_CDECL CV_Encrypt(int32_t id, const uint8_t* key, const uint8_t* iv,
                            const ByteBuffer* input, ByteBuffer* output) {
    return Call("CV_Encrypt", output,
                [&] { return g_library.CV_Encrypt(id, key, iv, input, output); });
}

int32_t QM_CDECL CV_Decrypt(int32_t id, const uint8_t* key, const uint8_t* iv,
                            const ByteBuffer* input, ByteBuffer* output) {
    return Call("CV_Decrypt", output,
                [&] { return g_library.CV_Decrypt(id, key, iv, input, output); });
}

int32_t QM_CDECL CV_EncryptForCertificate(EngineContext* context, const ByteBuffer* certificate,
                                          const ByteBuffer* input, ByteBuffer* output) {
    return Call("CV_EncryptForCertificate", output, [&] {
        return g_library.CV_EncryptForCertificate(context, certificate, input, output);
    });
}

int32_t QM_CDECL CV_DecryptPrivateKey(EngineContext* context, const ByteBuffer* key,
                                      const ByteBuffer* password, ByteBuffer* output) {
    if (g_engine.recordCalls && key != nullptr && key->data != nullptr && key->length > 0) {
        g_engine.lastEncryptedKey.assign(key->data, key->data + key->length);
    }
    return Call("CV_DecryptPrivateKey", output,
                [&] { return g_library.CV_DecryptPrivateKey(context, key, password, output); });
}

int32_t QM_CDECL CV_ParseCertificate(EngineContext* context, const ByteBuffer* certificate,
                                     int32_t flags, int32_t* o1, int32_t* o2) {
    return Call("CV_ParseCertificate",
                [&] { return g_library.CV_ParseCertificate(context, certificate, flags, o1, o2); });
}

// The detail text comes back whether the certificate validates or not.
int32_t QM_CDECL CV_VerifyCertificate(EngineContext* context, const ByteBuffer* certificate,
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

// Each function of the engine's table by its own name.
constexpr EngineApi kTable{
#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments) .name = name,
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
