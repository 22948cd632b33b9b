// The symmetric algorithms of the enveloping protocol, in one table: the name a page passes to
// GenerateEx, the OpenSSL cipher it stands for (CBC with PKCS#7 padding) and its key and IV
// lengths. Corvane.dll serves every row (engine/core/library.cpp), the server's tool opens what a
// page enveloped with any of them (tools/server), and the tests, benchmarks and fuzzers go through
// all of them from here.
#pragma once

#include <cstdint>
#include <string_view>

namespace qm {

struct CipherRow {
    // Corvane.dll's id of the algorithm (CV_CipherId). Quillmark.dll always asks the engine for
    // it: an engine that a site ships may number its algorithms otherwise.
    int32_t id;
    const char* name;    // matched without regard to case
    const char* evpName; // OpenSSL's name
    int32_t keyLength;
    int32_t ivLength;
};

inline constexpr CipherRow kCiphers[] = {
    {1, "SEED", "SEED-CBC", 16, 16},   {2, "ARIA", "ARIA-128-CBC", 16, 16},
    {3, "AES", "AES-128-CBC", 16, 16}, {4, "3DES", "DES-EDE3-CBC", 24, 8},
    {5, "DES", "DES-CBC", 8, 8},       {6, "AES256", "AES-256-CBC", 32, 16},
};

// GenerateEx draws this many random bytes for a session: the key, then the IV. An algorithm whose
// key and IV need more (AES256) cannot be enveloped, and GenerateEx refuses it.
inline constexpr int32_t kSessionKeyMaterialBytes = 32;

constexpr bool CanEnvelope(const CipherRow& cipher) {
    return cipher.keyLength + cipher.ivLength <= kSessionKeyMaterialBytes;
}

// The algorithm of that name, without regard to (ASCII) case; null when there is none.
constexpr const CipherRow* FindCipher(std::string_view name) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    for (const CipherRow& cipher : kCiphers) {
        std::string_view candidate = cipher.name;
        bool same = candidate.size() == name.size();
        for (size_t i = 0; same && i < name.size(); ++i) {
            same = upper(name[i]) == upper(candidate[i]);
        }
        if (same) {
            return &cipher;
        }
    }
    return nullptr;
}

// The algorithm with Corvane.dll's id; null when there is none.
constexpr const CipherRow* FindCipherById(int32_t id) {
    for (const CipherRow& cipher : kCiphers) {
        if (cipher.id == id) {
            return &cipher;
        }
    }
    return nullptr;
}

} // namespace qm
