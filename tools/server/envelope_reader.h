// What a page's server does with the two texts a page sends: the sealed text (Base64 of a DER CMS
// EnvelopedData holding the session key followed by the IV) and the ciphertext (Base64 of the
// text's bytes in the page's ANSI code page, enciphered in CBC mode with PKCS#7 padding).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace server {

struct Algorithm {
    const char* name;       // the name the page passed to GenerateEx
    const char* cipherName; // OpenSSL's name of the CBC cipher
    int keyLength;
    int ivLength;
};

// The algorithms a page can envelope with (those whose key and IV fit in 32 bytes).
const Algorithm* FindAlgorithm(const std::string& name);

std::optional<std::vector<uint8_t>> DecodeBase64(const std::string& text);

// The one message for every refusal of what a page sent. A server that says why a sealed text or
// a ciphertext was refused (bad Base64, bad padding, a key of the wrong length...) answers an
// attacker's questions about the plaintext one refusal at a time: a padding oracle. Only the
// server's own setup (its key, its certificate) fails with a message of its own.
inline constexpr const char* kRefused = "the sealed text or the ciphertext was refused";

// Opens the sealed text with the server's private key (PEM, optionally encrypted) and its
// certificate; yields the key material. `error` says why the key or the certificate cannot be
// read, and is kRefused for anything about the sealed text itself.
std::optional<std::vector<uint8_t>> OpenSealedText(const std::string& sealedBase64,
                                                   const std::string& keyPem,
                                                   const std::string& keyPassword,
                                                   const std::string& certificatePem,
                                                   std::string* error);

// Deciphers the page's ciphertext with the key material; yields the text's bytes. `error` names
// an algorithm this OpenSSL lacks, and is kRefused for every failure that the texts decide.
std::optional<std::vector<uint8_t>> Decipher(const Algorithm& algorithm,
                                             const std::vector<uint8_t>& keyMaterial,
                                             const std::string& cipherBase64, std::string* error);

// The page's text, from its code page to UTF-8 for printing.
std::string ToUtf8(const std::vector<uint8_t>& bytes, const std::string& codePage);

} // namespace server
