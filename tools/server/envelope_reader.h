// What a page's server does with the two texts a page sends: the sealed text (Base64 of a DER CMS
// EnvelopedData holding the session key followed by the IV) and the ciphertext (Base64 of the
// text's bytes in the page's ANSI code page, enciphered in CBC mode with PKCS#7 padding).
#pragma once

#include "platform/OpenSslOwners.h"
#include "platform/SecureWipe.h"
#include "platform/ciphers.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace server {

// The algorithms a page can envelope with: the engine's ciphers whose key and IV fit in the 32
// bytes of key material, found by the name the page passed to GenerateEx.
using Algorithm = qm::CipherRow;
const Algorithm* FindAlgorithm(const std::string& name);
// Their names, for people: "SEED, ARIA, AES, 3DES or DES".
std::string AlgorithmNames();

// The one message for every refusal of what a page sent. A server that says why a sealed text or
// a ciphertext was refused (bad Base64, bad padding, a key of the wrong length...) answers an
// attacker's questions about the plaintext one refusal at a time: a padding oracle. Only the
// server's own setup (its key, its certificate) fails with a message of its own.
inline constexpr const char* kRefused = "the sealed text or the ciphertext was refused";

// What reading the server's private key found. A key that is encrypted, one that the password
// does not open and a file that holds no key at all each ask the operator for something else.
enum class KeyRead { kOpened, kNotAKey, kEncrypted, kWrongPassword };

// The server's private key: PEM or DER, plain or encrypted (opened with `password`; without one,
// an encrypted key is kEncrypted).
KeyRead ReadPrivateKey(std::string_view bytes, const qm::WipedText* password, qm::PkeyPtr* key);

// The server's certificate, PEM or DER; null when the bytes hold none.
qm::X509Ptr ReadCertificate(std::string_view bytes);

// Opens the sealed text with the server's private key and, when given, its certificate (which
// picks the recipient entry made for it); yields the key material, or nothing: kRefused.
std::optional<qm::WipedBytes> OpenSealedText(std::string_view sealedBase64, EVP_PKEY* key,
                                             X509* certificate);

// Deciphers the page's ciphertext with the key material; yields the text's bytes. `error` names
// an algorithm this OpenSSL lacks, and is kRefused for every failure that the texts decide.
std::optional<std::vector<uint8_t>> Decipher(const Algorithm& algorithm,
                                             std::span<const uint8_t> keyMaterial,
                                             std::string_view cipherBase64, std::string* error);

// Whether the page's text can be read in that code page (as iconv names it: "CP949").
bool KnowsCodePage(const std::string& codePage);

// The page's text, from its code page to UTF-8 for printing.
std::string ToUtf8(const std::vector<uint8_t>& bytes, const std::string& codePage);

} // namespace server
