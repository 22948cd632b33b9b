#include "tests/support/engine_double.h"

#include "platform/Base64.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace qmtest {

using namespace toy;

namespace {

EngineDouble g_engine;
EngineApi g_library; // the library's engine, while the double passes calls on to it

bool PassingOn() {
    return g_engine.work == EngineWork::Library;
}

// Records and counts the call; the code it is to fail with, or 0.
int32_t Enter(const char* name) {
    if (!PassingOn() || g_engine.recordCalls) {
        g_engine.calls.emplace_back(name);
    }
    if (++g_engine.counted == g_engine.failAt) {
        return kInjectedFailure;
    }
    auto failure = g_engine.failures.find(std::string_view(name));
    return failure != g_engine.failures.end() ? failure->second : 0;
}

// What a failing toy call leaves in its outputs: nothing that the caller may read or free. Freeing
// it counts as a stray free; reading it runs past a one-byte object (the sanitizers see that).
// Passing calls on, a failure leaves the outputs as the caller gave them, as the engine does,
// unless the test asks for junk.
uint8_t g_poison[1];

template <typename Output> void Poison(Output* output) {
    if constexpr (std::is_same_v<Output, ByteBuffer>) {
        *output = ByteBuffer{13, g_poison};
    } else if constexpr (std::is_same_v<Output, char*>) {
        *output = reinterpret_cast<char*>(g_poison);
    } // a failed CV_RandomBytes of the toy has always left its block alone
}

// The block a call handed out, once it has returned.
template <typename Output> const void* Block(Output* output) {
    if constexpr (std::is_same_v<Output, ByteBuffer>) {
        return output->data;
    } else {
        return *output;
    }
}

// A toy call that cannot be done: the code, and outputs as a failure leaves them.
template <typename Output> int32_t Refused(int32_t code, Output output) {
    Poison(output);
    return code;
}

// One call of a function that hands out a block through `output`: recorded, failed when the
// test says so, then done by the library (its block goes into the ledger) or by the toy.
template <typename Output, typename Library, typename Toy>
int32_t Call(const char* name, Output output, Library library, Toy toy) {
    if (int32_t failure = Enter(name)) {
        bool junk = !PassingOn() || (g_engine.junkOnFailure && output != nullptr);
        return junk ? Refused(failure, output) : failure;
    }
    if (!PassingOn()) {
        return toy();
    }
    if (output != nullptr && g_engine.emptySuccesses.count(std::string_view(name)) != 0) {
        *output = std::remove_pointer_t<Output>{};
        return 0;
    }
    int32_t result = library();
    if (result == 0 && output != nullptr && Block(output) != nullptr) {
        g_engine.live.insert(Block(output));
    }
    return result;
}

// The same for a function that hands out no block.
template <typename Library, typename Toy> int32_t Call(const char* name, Library library, Toy toy) {
    if (int32_t failure = Enter(name)) {
        return failure;
    }
    return PassingOn() ? library() : toy();
}

const Algorithm* FindAlgorithm(int32_t id) {
    for (const Algorithm* a : {&kAes, &kDes}) {
        if (a->id == id) {
            return a;
        }
    }
    return nullptr;
}

void* Allocate(size_t size) {
    void* block = std::malloc(size > 0 ? size : 1);
    g_engine.live.insert(block);
    return block;
}

// Hands the bytes or the text out in a block of the ledger: a call's success.
int32_t HandOut(const std::vector<uint8_t>& bytes, ByteBuffer* output) {
    output->length = int32_t(bytes.size());
    output->data = static_cast<uint8_t*>(Allocate(bytes.size()));
    if (!bytes.empty()) {
        std::memcpy(output->data, bytes.data(), bytes.size());
    }
    return 0;
}

int32_t HandOut(const std::string& text, char** output) {
    *output = static_cast<char*>(Allocate(text.size() + 1));
    std::memcpy(*output, text.c_str(), text.size() + 1);
    return 0;
}

std::vector<uint8_t> In(const ByteBuffer* input) {
    if (input == nullptr || input->data == nullptr || input->length <= 0) {
        return {};
    }
    return std::vector<uint8_t>(input->data, input->data + input->length);
}

// The system's own Base64 rules, as the engine reads it.
bool Unbase64(std::string_view text, std::vector<uint8_t>* out) {
    std::optional<std::vector<uint8_t>> bytes = qm::base64::Decode(text);
    if (bytes) {
        *out = std::move(*bytes);
    }
    return bytes.has_value();
}

// The toy cipher: each byte XORed with key and IV bytes.
std::vector<uint8_t> Crypt(const Algorithm& a, const uint8_t* key, const uint8_t* iv,
                           std::vector<uint8_t> data) {
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] ^= uint8_t(key[i % size_t(a.keyLength)] ^ iv[i % size_t(a.ivLength)]);
    }
    return data;
}

int32_t QM_CDECL CV_ContextInit(EngineContext* context) {
    int32_t r = Enter("CV_ContextInit");
    if (PassingOn()) {
        r = r != 0 ? r : g_library.CV_ContextInit(context);
        g_engine.contexts += r == 0 ? 1 : 0;
        return r;
    }
    ++g_engine.contexts;
    context->words[0] = 0xC0FFEE;
    return r;
}

int32_t QM_CDECL CV_ContextFree(EngineContext* context) {
    int32_t r = Enter("CV_ContextFree");
    if (PassingOn()) {
        r = r != 0 ? r : g_library.CV_ContextFree(context);
        g_engine.contexts -= r == 0 ? 1 : 0;
        return r;
    }
    if (context->words[0] == 0xC0FFEE) {
        --g_engine.contexts;
        context->words[0] = 0;
    }
    return r;
}

// Releasing never fails: a failed release would leak.
int32_t QM_CDECL CV_Free(void* block) {
    if (PassingOn()) {
        if (g_engine.recordCalls) {
            g_engine.calls.emplace_back("CV_Free");
        }
        if (block != nullptr) {
            ++g_engine.frees;
            if (g_engine.live.erase(block) == 0) {
                ++g_engine.strayFrees;
                if (block == g_poison) {
                    return corvane::err::kUnknownBlock;
                }
            }
        }
        return g_library.CV_Free(block);
    }
    g_engine.calls.emplace_back("CV_Free");
    if (block == nullptr) {
        return 0;
    }
    ++g_engine.frees;
    if (g_engine.live.erase(block) == 0) {
        ++g_engine.strayFrees;
        return -1;
    }
    std::free(block);
    return 0;
}

int32_t QM_CDECL CV_Base64Encode(const ByteBuffer* input, char** text) {
    return Call(
        "CV_Base64Encode", text, [&] { return g_library.CV_Base64Encode(input, text); },
        [&] { return HandOut(Base64(In(input)), text); });
}

int32_t QM_CDECL CV_Base64Decode(const char* text, ByteBuffer* output) {
    return Call(
        "CV_Base64Decode", output, [&] { return g_library.CV_Base64Decode(text, output); },
        [&] {
            std::vector<uint8_t> bytes;
            if (text == nullptr || !Unbase64(text, &bytes)) {
                return Refused(-522, output);
            }
            return HandOut(bytes, output);
        });
}

int32_t QM_CDECL CV_PemDecode(const char* text, ByteBuffer* output) {
    return Call(
        "CV_PemDecode", output, [&] { return g_library.CV_PemDecode(text, output); },
        [&] {
            std::string_view t = text != nullptr ? text : "";
            if (t.rfind("-----BEGIN", 0) != 0) {
                return Refused(-523, output);
            }
            if (g_engine.pemDecodeEmpty) {
                return HandOut({}, output);
            }
            size_t start = t.find('\n');
            size_t end = t.find("-----END");
            std::vector<uint8_t> bytes;
            if (start == std::string_view::npos || end == std::string_view::npos || end < start ||
                !Unbase64(t.substr(start + 1, end - start - 1), &bytes)) {
                return Refused(-523, output);
            }
            return HandOut(bytes, output);
        });
}

int32_t QM_CDECL CV_PemEncode(const ByteBuffer* der, int32_t type, char** text) {
    return Call(
        "CV_PemEncode", text, [&] { return g_library.CV_PemEncode(der, type, text); },
        [&] { return HandOut(Pem(In(der)), text); });
}

int32_t QM_CDECL CV_Digest(int32_t digestId, const ByteBuffer* input, ByteBuffer* output) {
    return Call(
        "CV_Digest", output, [&] { return g_library.CV_Digest(digestId, input, output); },
        [&] {
            if (digestId != kDigestId) {
                return Refused(-519, output);
            }
            return HandOut(Digest(In(input)), output);
        });
}

int32_t QM_CDECL CV_DigestId(const char* name, int32_t* id) {
    return Call(
        "CV_DigestId", [&] { return g_library.CV_DigestId(name, id); },
        [&] {
            if (name == nullptr || std::strcmp(name, "SHA1") != 0) {
                return kUnknownName;
            }
            *id = kDigestId;
            return 0;
        });
}

int32_t QM_CDECL CV_CipherId(const char* name, int32_t* id) {
    return Call(
        "CV_CipherId", [&] { return g_library.CV_CipherId(name, id); },
        [&] {
            for (const Algorithm* a : {&kAes, &kDes}) {
                if (name != nullptr && std::strcmp(name, a->name) == 0) {
                    *id = a->id;
                    return 0;
                }
            }
            return kUnknownName;
        });
}

// CV_IvLength and CV_KeyLength: one of the algorithm's lengths.
int32_t Length(const char* name, int32_t id, int32_t* length, int32_t Algorithm::*which,
               decltype(EngineApi::CV_IvLength) library) {
    return Call(
        name, [&] { return library(id, length); },
        [&] {
            const Algorithm* a = FindAlgorithm(id);
            if (a == nullptr) {
                return kUnknownName;
            }
            *length = a->*which;
            return 0;
        });
}

int32_t QM_CDECL CV_IvLength(int32_t id, int32_t* length) {
    return Length("CV_IvLength", id, length, &Algorithm::ivLength, g_library.CV_IvLength);
}

int32_t QM_CDECL CV_KeyLength(int32_t id, int32_t* length) {
    return Length("CV_KeyLength", id, length, &Algorithm::keyLength, g_library.CV_KeyLength);
}

int32_t QM_CDECL CV_RandomBytes(int32_t source, int32_t count, uint8_t** block) {
    return Call(
        "CV_RandomBytes", block, [&] { return g_library.CV_RandomBytes(source, count, block); },
        [&] {
            *block = static_cast<uint8_t*>(Allocate(size_t(count)));
            for (int32_t i = 0; i < count; ++i) {
                (*block)[i] = uint8_t(i * 37 + 11);
            }
            return 0;
        });
}

// CV_Encrypt and CV_Decrypt. The toy cipher adds a check byte on the way in, which tells a wrong
// key from the right one on the way back.
int32_t Cipher(const char* name, bool encrypt, int32_t id, const uint8_t* key, const uint8_t* iv,
               const ByteBuffer* input, ByteBuffer* output,
               decltype(EngineApi::CV_Encrypt) library) {
    return Call(
        name, output, [&] { return library(id, key, iv, input, output); },
        [&] {
            const Algorithm* a = FindAlgorithm(id);
            std::vector<uint8_t> bytes = In(input);
            const uint8_t check = uint8_t(key[0] ^ 0x5A);
            if (encrypt) {
                if (a == nullptr) {
                    return Refused(kUnknownName, output);
                }
                bytes = Crypt(*a, key, iv, bytes);
                bytes.push_back(check);
            } else {
                if (a == nullptr || bytes.empty() || bytes.back() != check) {
                    return Refused(-530, output);
                }
                bytes.pop_back();
                bytes = Crypt(*a, key, iv, bytes);
            }
            return HandOut(bytes, output);
        });
}

int32_t QM_CDECL CV_Encrypt(int32_t id, const uint8_t* key, const uint8_t* iv,
                            const ByteBuffer* input, ByteBuffer* output) {
    return Cipher("CV_Encrypt", true, id, key, iv, input, output, g_library.CV_Encrypt);
}

int32_t QM_CDECL CV_Decrypt(int32_t id, const uint8_t* key, const uint8_t* iv,
                            const ByteBuffer* input, ByteBuffer* output) {
    return Cipher("CV_Decrypt", false, id, key, iv, input, output, g_library.CV_Decrypt);
}

// The toy's sealed or unlocked bytes, a marker and then the input; refused with `refusal` unless
// the input is acceptable.
int32_t Marked(bool acceptable, int32_t refusal, std::string_view marker, const ByteBuffer* input,
               ByteBuffer* output) {
    if (!acceptable) {
        return Refused(refusal, output);
    }
    std::vector<uint8_t> out = Bytes(marker);
    std::vector<uint8_t> in = In(input);
    out.insert(out.end(), in.begin(), in.end());
    return HandOut(out, output);
}

int32_t QM_CDECL CV_EncryptForCertificate(EngineContext* context, const ByteBuffer* certificate,
                                          const ByteBuffer* input, ByteBuffer* output) {
    return Call(
        "CV_EncryptForCertificate", output,
        [&] { return g_library.CV_EncryptForCertificate(context, certificate, input, output); },
        [&] { return Marked(!In(certificate).empty(), -510, "SEALED:", input, output); });
}

int32_t QM_CDECL CV_DecryptPrivateKey(EngineContext* context, const ByteBuffer* key,
                                      const ByteBuffer* password, ByteBuffer* output) {
    if (PassingOn() && g_engine.recordCalls && key != nullptr && key->data != nullptr &&
        key->length > 0) {
        g_engine.lastEncryptedKey.assign(key->data, key->data + key->length);
    }
    return Call(
        "CV_DecryptPrivateKey", output,
        [&] { return g_library.CV_DecryptPrivateKey(context, key, password, output); },
        [&] {
            std::vector<uint8_t> pw = In(password);
            g_engine.lastPassword.assign(pw.begin(), pw.end());
            bool opens = g_engine.lastPassword == kRightPassword && !In(key).empty();
            return Marked(opens, kWrongPassword, "PLAIN:", key, output);
        });
}

int32_t QM_CDECL CV_ParseCertificate(EngineContext* context, const ByteBuffer* certificate,
                                     int32_t flags, int32_t* o1, int32_t* o2) {
    int32_t r = Enter("CV_ParseCertificate");
    if (PassingOn()) {
        return r != 0 ? r : g_library.CV_ParseCertificate(context, certificate, flags, o1, o2);
    }
    *o1 = 1;
    *o2 = 2;
    return r;
}

int32_t QM_CDECL CV_VerifyCertificate(EngineContext* context, const ByteBuffer* certificate,
                                      const ByteBuffer* ca, const ByteBuffer* crl,
                                      const ByteBuffer* arl, char** detail) {
    if (PassingOn()) {
        if (int32_t r = Enter("CV_VerifyCertificate")) {
            return r;
        }
        int32_t result = g_library.CV_VerifyCertificate(context, certificate, ca, crl, arl, detail);
        if (*detail != nullptr) {
            g_engine.live.insert(*detail); // handed back valid or not
        }
        return result;
    }
    g_engine.lastVerifyLengths[0] = certificate->length;
    g_engine.lastVerifyLengths[1] = ca->length;
    g_engine.lastVerifyLengths[2] = crl->length;
    g_engine.lastVerifyLengths[3] = arl->length;
    g_engine.lastVerifyNullData[0] = crl->data == nullptr;
    g_engine.lastVerifyNullData[1] = arl->data == nullptr;
    // As the real engine: a certificate that does not validate comes with a text saying why.
    *detail = nullptr;
    if (int32_t r = Enter("CV_VerifyCertificate")) {
        HandOut("why not", detail);
        return r;
    }
    return 0;
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

EngineDouble& BindEngineDouble(EngineWork work) {
    UnbindEngineDouble();
    g_engine = EngineDouble{};
    g_engine.work = work;
    if (PassingOn()) {
        g_library = qm::Engine();
    }
    qm::BindEngineForTesting(&kTable);
    return g_engine;
}

void UnbindEngineDouble() {
    qm::BindEngineForTesting(nullptr);
    if (!PassingOn()) {
        for (const void* block : g_engine.live) {
            std::free(const_cast<void*>(block));
        }
        g_engine.live.clear();
    }
}

namespace toy {

std::string Base64(const std::vector<uint8_t>& bytes) {
    return qm::base64::Encode(bytes);
}

std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string Pem(const std::vector<uint8_t>& bytes, const char* label) {
    return std::string("-----BEGIN ") + label + "-----\n" + Base64(bytes) + "\n-----END " + label +
           "-----\n";
}

std::vector<uint8_t> Digest(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out(kDigestLength);
    uint32_t h = 2166136261u;
    for (int i = 0; i < kDigestLength; ++i) {
        for (uint8_t b : bytes) {
            h = (h ^ b) * 16777619u;
        }
        h = (h ^ uint32_t(i)) * 16777619u;
        out[size_t(i)] = uint8_t(h >> 24);
    }
    return out;
}

} // namespace toy

} // namespace qmtest
