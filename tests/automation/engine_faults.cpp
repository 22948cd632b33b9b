#include "tests/automation/engine_faults.h"

#include <mutex>
#include <set>

namespace faults {
namespace {

EngineApi g_real;
EngineApi g_double;
int g_calls = 0;
int g_failAt = 0;
std::set<void*>* g_live = nullptr;

bool Fails() {
    return ++g_calls == g_failAt;
}

void Hold(void* block) {
    if (block != nullptr) {
        g_live->insert(block);
    }
}

int32_t QM_CDECL ContextInit(EngineContext* c) {
    return Fails() ? kInjected : g_real.CV_ContextInit(c);
}
int32_t QM_CDECL ContextFree(EngineContext* c) {
    return Fails() ? kInjected : g_real.CV_ContextFree(c);
}
int32_t QM_CDECL Free(void* block) {
    g_live->erase(block);
    return g_real.CV_Free(block); // releasing never fails: a failed release would leak
}
int32_t QM_CDECL Base64Encode(const ByteBuffer* in, char** text) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = g_real.CV_Base64Encode(in, text);
    if (rc == 0) {
        Hold(*text);
    }
    return rc;
}
int32_t QM_CDECL TextToBuffer(int32_t(QM_CDECL* f)(const char*, ByteBuffer*), const char* text,
                              ByteBuffer* out) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = f(text, out);
    if (rc == 0) {
        Hold(out->data);
    }
    return rc;
}
int32_t QM_CDECL Base64Decode(const char* t, ByteBuffer* o) {
    return TextToBuffer(g_real.CV_Base64Decode, t, o);
}
int32_t QM_CDECL PemDecode(const char* t, ByteBuffer* o) {
    return TextToBuffer(g_real.CV_PemDecode, t, o);
}
int32_t QM_CDECL PemEncode(const ByteBuffer* der, int32_t type, char** text) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = g_real.CV_PemEncode(der, type, text);
    if (rc == 0) {
        Hold(*text);
    }
    return rc;
}
int32_t QM_CDECL Digest(int32_t id, const ByteBuffer* in, ByteBuffer* out) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = g_real.CV_Digest(id, in, out);
    if (rc == 0) {
        Hold(out->data);
    }
    return rc;
}
int32_t QM_CDECL DigestId(const char* n, int32_t* id) {
    return Fails() ? kInjected : g_real.CV_DigestId(n, id);
}
int32_t QM_CDECL CipherId(const char* n, int32_t* id) {
    return Fails() ? kInjected : g_real.CV_CipherId(n, id);
}
int32_t QM_CDECL IvLength(int32_t a, int32_t* l) {
    return Fails() ? kInjected : g_real.CV_IvLength(a, l);
}
int32_t QM_CDECL KeyLength(int32_t a, int32_t* l) {
    return Fails() ? kInjected : g_real.CV_KeyLength(a, l);
}
int32_t QM_CDECL RandomBytes(int32_t s, int32_t n, uint8_t** block) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = g_real.CV_RandomBytes(s, n, block);
    if (rc == 0) {
        Hold(*block);
    }
    return rc;
}
int32_t QM_CDECL Cipher(int32_t(QM_CDECL* f)(int32_t, const uint8_t*, const uint8_t*,
                                             const ByteBuffer*, ByteBuffer*),
                        int32_t a, const uint8_t* k, const uint8_t* iv, const ByteBuffer* in,
                        ByteBuffer* out) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = f(a, k, iv, in, out);
    if (rc == 0) {
        Hold(out->data);
    }
    return rc;
}
int32_t QM_CDECL Encrypt(int32_t a, const uint8_t* k, const uint8_t* iv, const ByteBuffer* in,
                         ByteBuffer* out) {
    return Cipher(g_real.CV_Encrypt, a, k, iv, in, out);
}
int32_t QM_CDECL Decrypt(int32_t a, const uint8_t* k, const uint8_t* iv, const ByteBuffer* in,
                         ByteBuffer* out) {
    return Cipher(g_real.CV_Decrypt, a, k, iv, in, out);
}
int32_t QM_CDECL Seal(EngineContext* c, const ByteBuffer* cert, const ByteBuffer* in,
                      ByteBuffer* out) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = g_real.CV_EncryptForCertificate(c, cert, in, out);
    if (rc == 0) {
        Hold(out->data);
    }
    return rc;
}
int32_t QM_CDECL Unlock(EngineContext* c, const ByteBuffer* key, const ByteBuffer* pw,
                        ByteBuffer* out) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = g_real.CV_DecryptPrivateKey(c, key, pw, out);
    if (rc == 0) {
        Hold(out->data);
    }
    return rc;
}
int32_t QM_CDECL Parse(EngineContext* c, const ByteBuffer* cert, int32_t f, int32_t* o1,
                       int32_t* o2) {
    return Fails() ? kInjected : g_real.CV_ParseCertificate(c, cert, f, o1, o2);
}
int32_t QM_CDECL Verify(EngineContext* c, const ByteBuffer* cert, const ByteBuffer* ca,
                        const ByteBuffer* crl, const ByteBuffer* arl, char** detail) {
    if (Fails()) {
        return kInjected;
    }
    int32_t rc = g_real.CV_VerifyCertificate(c, cert, ca, crl, arl, detail);
    Hold(*detail); // handed back valid or not
    return rc;
}

} // namespace

void Bind() {
    qm::BindEngineForTesting(nullptr);
    g_real = qm::Engine();
    static std::set<void*> live;
    g_live = &live;
    g_double = EngineApi{ContextInit, ContextFree, Free,        Base64Encode, Base64Decode,
                         PemDecode,   PemEncode,   Digest,      DigestId,     CipherId,
                         IvLength,    KeyLength,   RandomBytes, Encrypt,      Decrypt,
                         Seal,        Unlock,      Parse,       Verify};
    qm::BindEngineForTesting(&g_double);
}

void Unbind() {
    qm::BindEngineForTesting(nullptr);
}

void FailCall(int index) {
    g_calls = 0;
    g_failAt = index;
}

int Calls() {
    return g_calls;
}

size_t LiveBlocks() {
    return g_live->size();
}

} // namespace faults
