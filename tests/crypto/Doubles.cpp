#include "tests/crypto/Doubles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace doubles {

namespace {

EngineState g_engine;
StoreState g_store;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const Algorithm* FindAlgorithm(int32_t id) {
    for (const Algorithm* a : {&kAes, &kDes, &kWide}) {
        if (a->id == id) {
            return a;
        }
    }
    return nullptr;
}

// What a failing call leaves in its outputs: nothing that the caller may read or free. Freeing
// it counts as a stray free; reading it runs past a one-byte object (the sanitizers see that).
uint8_t g_poison[1];

int32_t Failed(int32_t code, ByteBuffer* output) {
    *output = ByteBuffer{13, g_poison};
    return code;
}

int32_t Failed(int32_t code, char** text) {
    *text = reinterpret_cast<char*>(g_poison);
    return code;
}

// Records the call; returns the failure code asked for, or 0.
int32_t Enter(const char* name) {
    g_engine.calls.emplace_back(name);
    auto it = g_engine.failures.find(name);
    return it != g_engine.failures.end() ? it->second : 0;
}

void* Allocate(size_t size) {
    void* block = std::malloc(size > 0 ? size : 1);
    g_engine.live.insert(block);
    return block;
}

void HandOut(const std::vector<uint8_t>& bytes, ByteBuffer* output) {
    output->length = int32_t(bytes.size());
    output->data = static_cast<uint8_t*>(Allocate(bytes.size()));
    if (!bytes.empty()) {
        std::memcpy(output->data, bytes.data(), bytes.size());
    }
}

char* HandOutText(const std::string& text) {
    char* block = static_cast<char*>(Allocate(text.size() + 1));
    std::memcpy(block, text.c_str(), text.size() + 1);
    return block;
}

std::vector<uint8_t> In(const ByteBuffer* input) {
    if (input == nullptr || input->data == nullptr || input->length <= 0) {
        return {};
    }
    return std::vector<uint8_t>(input->data, input->data + input->length);
}

bool Unbase64(std::string_view text, std::vector<uint8_t>* out) {
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=' || c == '\n' || c == '\r') {
            continue;
        }
        const char* p = std::strchr(kAlphabet, c);
        if (p == nullptr || c == '\0') {
            return false;
        }
        acc = (acc << 6) | uint32_t(p - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(uint8_t(acc >> bits));
        }
    }
    return true;
}

// The toy cipher: each byte XORed with key and IV bytes, then one byte of "padding" that tells
// a wrong key from the right one on the way back.
std::vector<uint8_t> Crypt(const Algorithm& a, const uint8_t* key, const uint8_t* iv,
                           std::vector<uint8_t> data) {
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] ^= uint8_t(key[i % size_t(a.keyLength)] ^ iv[i % size_t(a.ivLength)]);
    }
    return data;
}

int32_t QM_CDECL ContextInit(EngineContext* context) {
    int32_t r = Enter("CV_ContextInit");
    ++g_engine.contexts;
    context->words[0] = 0xC0FFEE;
    return r;
}

int32_t QM_CDECL ContextFree(EngineContext* context) {
    int32_t r = Enter("CV_ContextFree");
    if (context->words[0] == 0xC0FFEE) {
        --g_engine.contexts;
        context->words[0] = 0;
    }
    return r;
}

int32_t QM_CDECL Free(void* block) {
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

int32_t QM_CDECL Base64Encode(const ByteBuffer* input, char** text) {
    if (int32_t r = Enter("CV_Base64Encode")) {
        return Failed(r, text);
    }
    *text = HandOutText(Base64(In(input)));
    return 0;
}

int32_t QM_CDECL Base64Decode(const char* text, ByteBuffer* output) {
    if (int32_t r = Enter("CV_Base64Decode")) {
        return Failed(r, output);
    }
    std::vector<uint8_t> bytes;
    if (text == nullptr || !Unbase64(text, &bytes)) {
        return Failed(-522, output);
    }
    HandOut(bytes, output);
    return 0;
}

int32_t QM_CDECL PemDecode(const char* text, ByteBuffer* output) {
    if (int32_t r = Enter("CV_PemDecode")) {
        return Failed(r, output);
    }
    std::string_view t = text != nullptr ? text : "";
    if (t.rfind("-----BEGIN", 0) != 0) {
        return Failed(-523, output);
    }
    if (g_engine.pemDecodeEmpty) {
        HandOut({}, output);
        return 0;
    }
    size_t start = t.find('\n');
    size_t end = t.find("-----END");
    std::vector<uint8_t> bytes;
    if (start == std::string_view::npos || end == std::string_view::npos || end < start ||
        !Unbase64(t.substr(start + 1, end - start - 1), &bytes)) {
        return Failed(-523, output);
    }
    HandOut(bytes, output);
    return 0;
}

int32_t QM_CDECL PemEncode(const ByteBuffer* der, int32_t, char** text) {
    if (int32_t r = Enter("CV_PemEncode")) {
        return Failed(r, text);
    }
    *text = HandOutText(Pem(In(der)));
    return 0;
}

int32_t QM_CDECL DigestFn(int32_t digestId, const ByteBuffer* input, ByteBuffer* output) {
    if (int32_t r = Enter("CV_Digest")) {
        return Failed(r, output);
    }
    if (digestId != kDigestId) {
        return Failed(-519, output);
    }
    HandOut(Digest(In(input)), output);
    return 0;
}

int32_t QM_CDECL DigestIdFn(const char* name, int32_t* id) {
    if (int32_t r = Enter("CV_DigestId")) {
        return r;
    }
    if (name == nullptr || std::strcmp(name, "SHA1") != 0) {
        return kUnknownName;
    }
    *id = kDigestId;
    return 0;
}

int32_t QM_CDECL CipherId(const char* name, int32_t* id) {
    if (int32_t r = Enter("CV_CipherId")) {
        return r;
    }
    for (const Algorithm* a : {&kAes, &kDes, &kWide}) {
        if (name != nullptr && std::strcmp(name, a->name) == 0) {
            *id = a->id;
            return 0;
        }
    }
    return kUnknownName;
}

int32_t QM_CDECL IvLength(int32_t id, int32_t* length) {
    if (int32_t r = Enter("CV_IvLength")) {
        return r;
    }
    const Algorithm* a = FindAlgorithm(id);
    if (a == nullptr) {
        return kUnknownName;
    }
    *length = a->ivLength;
    return 0;
}

int32_t QM_CDECL KeyLength(int32_t id, int32_t* length) {
    if (int32_t r = Enter("CV_KeyLength")) {
        return r;
    }
    const Algorithm* a = FindAlgorithm(id);
    if (a == nullptr) {
        return kUnknownName;
    }
    *length = g_engine.keyLengthOverride >= 0 ? g_engine.keyLengthOverride : a->keyLength;
    return 0;
}

int32_t QM_CDECL RandomBytes(int32_t, int32_t count, uint8_t** block) {
    if (int32_t r = Enter("CV_RandomBytes")) {
        return r;
    }
    *block = static_cast<uint8_t*>(Allocate(size_t(count)));
    for (int32_t i = 0; i < count; ++i) {
        (*block)[i] = uint8_t(i * 37 + 11);
    }
    return 0;
}

int32_t QM_CDECL Encrypt(int32_t id, const uint8_t* key, const uint8_t* iv, const ByteBuffer* input,
                         ByteBuffer* output) {
    if (int32_t r = Enter("CV_Encrypt")) {
        return Failed(r, output);
    }
    const Algorithm* a = FindAlgorithm(id);
    if (a == nullptr) {
        return Failed(kUnknownName, output);
    }
    std::vector<uint8_t> out = Crypt(*a, key, iv, In(input));
    out.push_back(uint8_t(key[0] ^ 0x5A)); // the check byte
    HandOut(out, output);
    return 0;
}

int32_t QM_CDECL Decrypt(int32_t id, const uint8_t* key, const uint8_t* iv, const ByteBuffer* input,
                         ByteBuffer* output) {
    if (int32_t r = Enter("CV_Decrypt")) {
        return Failed(r, output);
    }
    const Algorithm* a = FindAlgorithm(id);
    std::vector<uint8_t> in = In(input);
    if (a == nullptr || in.empty() || in.back() != uint8_t(key[0] ^ 0x5A)) {
        return Failed(-530, output);
    }
    in.pop_back();
    HandOut(Crypt(*a, key, iv, in), output);
    return 0;
}

int32_t QM_CDECL EncryptForCertificate(EngineContext*, const ByteBuffer* certificate,
                                       const ByteBuffer* input, ByteBuffer* output) {
    if (int32_t r = Enter("CV_EncryptForCertificate")) {
        return Failed(r, output);
    }
    if (In(certificate).empty()) {
        return Failed(-510, output);
    }
    std::vector<uint8_t> out = Bytes("SEALED:");
    std::vector<uint8_t> in = In(input);
    out.insert(out.end(), in.begin(), in.end());
    HandOut(out, output);
    return 0;
}

int32_t QM_CDECL DecryptPrivateKey(EngineContext*, const ByteBuffer* key,
                                   const ByteBuffer* password, ByteBuffer* output) {
    if (int32_t r = Enter("CV_DecryptPrivateKey")) {
        return Failed(r, output);
    }
    std::vector<uint8_t> pw = In(password);
    g_engine.lastPassword.assign(pw.begin(), pw.end());
    if (g_engine.lastPassword != kRightPassword || In(key).empty()) {
        return Failed(kWrongPassword, output);
    }
    std::vector<uint8_t> out = Bytes("PLAIN:");
    std::vector<uint8_t> in = In(key);
    out.insert(out.end(), in.begin(), in.end());
    HandOut(out, output);
    return 0;
}

int32_t QM_CDECL ParseCertificate(EngineContext*, const ByteBuffer*, int32_t, int32_t* o1,
                                  int32_t* o2) {
    int32_t r = Enter("CV_ParseCertificate");
    *o1 = 1;
    *o2 = 2;
    return r;
}

int32_t QM_CDECL VerifyCertificate(EngineContext*, const ByteBuffer* certificate,
                                   const ByteBuffer* ca, const ByteBuffer* crl,
                                   const ByteBuffer* arl, char** detail) {
    g_engine.lastVerifyLengths[0] = certificate->length;
    g_engine.lastVerifyLengths[1] = ca->length;
    g_engine.lastVerifyLengths[2] = crl->length;
    g_engine.lastVerifyLengths[3] = arl->length;
    g_engine.lastVerifyNullData[0] = crl->data == nullptr;
    g_engine.lastVerifyNullData[1] = arl->data == nullptr;
    // As the real engine: a certificate that does not validate comes with a text saying why.
    *detail = nullptr;
    if (int32_t r = Enter("CV_VerifyCertificate")) {
        *detail = HandOutText("why not");
        return r;
    }
    return 0;
}

constexpr EngineApi kTable{
    ContextInit,
    ContextFree,
    Free,
    Base64Encode,
    Base64Decode,
    PemDecode,
    PemEncode,
    DigestFn,
    DigestIdFn,
    CipherId,
    IvLength,
    KeyLength,
    RandomBytes,
    Encrypt,
    Decrypt,
    EncryptForCertificate,
    DecryptPrivateKey,
    ParseCertificate,
    VerifyCertificate,
};

// The listings write nothing; they report the count a test asks for.
int32_t QM_CDECL DnList(int32_t, char*, int32_t, int32_t) {
    g_store.calls.emplace_back("LD_GetKeyDN");
    return g_store.reportedCount.value_or(0);
}
int32_t QM_CDECL KeyInfo(int32_t, CertInfoRecord*, int32_t, int32_t, const char*) {
    g_store.calls.emplace_back("LD_GetKeyInfo");
    return g_store.reportedCount.value_or(0);
}
int32_t QM_CDECL CertInfo(int32_t, CertInfoRecord*, int32_t) {
    g_store.calls.emplace_back("LD_GetCertInfo");
    return g_store.reportedCount.value_or(0);
}

int32_t Deliver(ByteBuffer* output) {
    if (g_store.result == 0) {
        std::memcpy(output->data, g_store.certificate.data(), g_store.certificate.size());
        output->length = int32_t(g_store.certificate.size());
    }
    if (g_store.reportedLength) {
        output->length = *g_store.reportedLength;
    }
    if (g_store.handBack != nullptr) {
        output->data = g_store.handBack;
    }
    return g_store.result;
}

// A call with a medium, a site code and a password (LD_GetMyCert, LD_GetKey), recorded.
int32_t DeliverFromMedium(const char* function, const char* dn, int32_t kind, int32_t medium,
                          int32_t siteCode, const char* password, ByteBuffer* output) {
    g_store.calls.emplace_back(function);
    g_store.lastDn = dn;
    g_store.lastKind = kind;
    g_store.lastMedium = medium;
    g_store.lastSiteCode = siteCode;
    g_store.lastPassword = password;
    return Deliver(output);
}

int32_t QM_CDECL GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                           const char* password, ByteBuffer* output) {
    return DeliverFromMedium("LD_GetMyCert", dn, kind, medium, siteCode, password, output);
}

int32_t QM_CDECL GetCert(const char* dn, int32_t kind, ByteBuffer* output) {
    g_store.calls.emplace_back("LD_GetCert");
    g_store.lastDn = dn;
    g_store.lastKind = kind;
    return Deliver(output);
}

int32_t QM_CDECL GetKey(const char* dn, int32_t kind, int32_t medium, int32_t siteCode,
                        const char* password, ByteBuffer* output) {
    return DeliverFromMedium("LD_GetKey", dn, kind, medium, siteCode, password, output);
}
int32_t QM_CDECL IsRegKey(const char*, const char*) {
    return 0;
}
int32_t QM_CDECL GetN(const char*, const char*, int32_t* v) {
    *v = 0;
    return -1;
}
int32_t QM_CDECL SetN(const char*, const char*, int32_t) {
    return 0;
}
int32_t QM_CDECL GetSZ(const char*, const char*, char* t) {
    if (g_store.unterminatedText) {
        std::memset(t, 'A', qm::kRegTextSize);
        return 0;
    }
    t[0] = '\0';
    return -1;
}
int32_t QM_CDECL SetSZ(const char*, const char*, const char*) {
    return 0;
}

constexpr StoreApi kStoreTable{DnList,   KeyInfo, CertInfo, GetMyCert, GetCert, GetKey,
                               IsRegKey, GetN,    SetN,     GetSZ,     SetSZ};

} // namespace

int EngineState::Count(const std::string& name) const {
    return int(std::count(calls.begin(), calls.end(), name));
}

EngineState& Engine() {
    return g_engine;
}
const EngineApi& EngineTable() {
    return kTable;
}
StoreState& Store() {
    return g_store;
}
const StoreApi& StoreTable() {
    return kStoreTable;
}

std::string Base64(const std::vector<uint8_t>& bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        for (int s = 18; s >= 0; s -= 6) {
            out += kAlphabet[(v >> s) & 63];
        }
    }
    if (i + 1 == bytes.size()) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
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

} // namespace doubles

void DoublesTest::SetUp() {
    doubles::Engine() = doubles::EngineState{};
    doubles::Store() = doubles::StoreState{};
    qm::BindEngineForTesting(&doubles::EngineTable());
    qm::BindStoreForTesting(&doubles::StoreTable());
}

void DoublesTest::TearDown() {
    EXPECT_EQ(engine().live.size(), 0u) << "engine blocks not returned with CV_Free";
    EXPECT_EQ(engine().strayFrees, 0) << "CV_Free of a block the engine did not hand out";
    EXPECT_EQ(engine().contexts, 0) << "engine contexts not freed";
    for (const void* block : engine().live) {
        std::free(const_cast<void*>(block));
    }
    engine().live.clear();
    qm::BindEngineForTesting(nullptr);
    qm::BindStoreForTesting(nullptr);
}
