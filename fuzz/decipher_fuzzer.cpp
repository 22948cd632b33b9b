// DecipherEx's text path: whatever a page passes is Base64-decoded and deciphered under a stored
// key by the session cipher, for every algorithm. Any input must end in a result code, never in a
// crash, a leak or a read past a buffer; a success must give a NUL-terminated text.
#include "crypto/SessionKey.h"
#include "external/engine.h"
#include "platform/ciphers.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The engine's ciphers that a page can envelope with: those whose key and IV the stored key
// material holds. The first byte of an input picks one.
std::vector<const qm::CipherRow*> Envelopable() {
    std::vector<const qm::CipherRow*> ciphers;
    for (const qm::CipherRow& cipher : qm::kCiphers) {
        if (qm::CanEnvelope(cipher)) {
            ciphers.push_back(&cipher);
        }
    }
    return ciphers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<const qm::CipherRow*> kAlgorithms = Envelopable();
    static const uint8_t kMaterial[qm::kSessionKeyMaterialBytes] = {
        0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
        0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67,
        0x78, 0x89, 0x9A, 0xAB, 0xBC, 0xCD, 0xDE, 0xEF, 0xF0, 0x02};
    if (size == 0) {
        return 0;
    }
    const char* algorithm = kAlgorithms[data[0] % kAlgorithms.size()]->name;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.c_str();

    CSessionCipher cipher(algorithm);
    if (cipher.SetKeyMaterial(kMaterial, sizeof(kMaterial)) != 0) {
        std::abort();
    }
    if (cipher.Decipher(text.c_str()) == 0) {
        const char* plain = cipher.GetPlainText();
        if (plain == nullptr) {
            std::abort();
        }
        (void)std::strlen(plain);
    }
    // And back: whatever deciphered enciphers again.
    if (cipher.GetPlainText() != nullptr && cipher.GetPlainText()[0] != '\0') {
        std::string plain = cipher.GetPlainText();
        if (cipher.Encipher(plain.c_str()) != 0 || cipher.GetCipherText() == nullptr) {
            std::abort();
        }
    }
    return 0;
}
