// The crypto engine's core: plain C++ over OpenSSL 3, with the same functions and signatures as
// the exports of Corvane.dll (see external/engine.h for their contracts). The export layer of the
// DLL forwards to these; native programs (tests, benchmarks, fuzzers, tools) call them directly.
//
// What the engine decides for itself:
//   - Every function returns 0 or a code of engine/core/errors.h, never throws (each is noexcept
//     and catches at its own boundary) and never touches the OpenSSL state of the host: it works in
//     a private library context and leaves the thread's OpenSSL error queue as it found it.
//   - A failed call hands back nothing: output buffers are set to {0, null} and text or block
//     pointers to null (detail texts of CV_VerifyCertificate excepted, see there).
//   - Blocks handed out (ByteBuffer data, texts, random bytes, detail texts) come only from the
//     engine's own allocator, which records each one; CV_Free wipes a block before releasing it,
//     because some hold key material. CV_Free of null does nothing; of anything else the engine
//     does not hold (already released, or never handed out) it returns kUnknownBlock untouched.
//   - Inputs: a null ByteBuffer pointer, a negative length, or a null data pointer with a positive
//     length is a failure code. Whether a zero length is a failure is stated per function.
//   - Digest ids (names without regard to case): 101 SHA1 (also "SHA-1"), 102 SHA256, 103 SHA384,
//     104 SHA512 (also with a hyphen: "SHA-256" ...).
//   - Cipher ids: those of platform/ciphers.h, all CBC with PKCS#7 padding.
#pragma once

#include "platform/abi.h"

namespace corvane {

inline constexpr int32_t kDigestSha1 = 101;
inline constexpr int32_t kDigestSha256 = 102;
inline constexpr int32_t kDigestSha384 = 103;
inline constexpr int32_t kDigestSha512 = 104;

inline constexpr int32_t kRandomSource = 200; // the only source of CV_RandomBytes
inline constexpr int32_t kMaxRandomBytes = 1 << 24;

// CV_PemEncode types.
inline constexpr int32_t kPemCertificate = 1; // "CERTIFICATE"
inline constexpr int32_t kPemCrl = 2;         // "X509 CRL"

// A context names a slot of the engine's own table (index and generation); its three words are
// all the engine writes into the caller's object. Init always takes a fresh slot; Free releases
// it and clears the words, so a released or never-initialised context fails with kBadContext.
int32_t CV_ContextInit(EngineContext* context) noexcept;
int32_t CV_ContextFree(EngineContext* context) noexcept;

int32_t CV_Free(void* block) noexcept;

// Standard alphabet with padding, no line breaks. Encoding 0 bytes gives the empty text.
// Decoding skips whitespace; any other foreign character, misplaced or missing padding, or a
// text with nothing in it fails.
int32_t CV_Base64Encode(const ByteBuffer* input, char** text) noexcept;
int32_t CV_Base64Decode(const char* text, ByteBuffer* output) noexcept;

// Decoding: after optional leading whitespace the text must start with "-----BEGIN"; every block
// ("-----BEGIN X-----" ... "-----END X-----", the same label) is decoded and their DER bytes are
// put one after another. Text between and after blocks is ignored, as OpenSSL does; a block with
// headers (legacy encrypted PEM), a missing END line or bad Base64 fails the whole text.
// Encoding: types above; the bytes must be exactly one DER structure; 64-character lines.
int32_t CV_PemDecode(const char* text, ByteBuffer* output) noexcept;
int32_t CV_PemEncode(const ByteBuffer* der, int32_t type, char** text) noexcept;

// The digest of 0 bytes is well defined and allowed.
int32_t CV_Digest(int32_t digestId, const ByteBuffer* input, ByteBuffer* output) noexcept;
int32_t CV_DigestId(const char* name, int32_t* digestId) noexcept;
int32_t CV_CipherId(const char* name, int32_t* algorithmId) noexcept;
int32_t CV_IvLength(int32_t algorithmId, int32_t* length) noexcept;
int32_t CV_KeyLength(int32_t algorithmId, int32_t* length) noexcept;

// count from 1 to kMaxRandomBytes, source kRandomSource only.
int32_t CV_RandomBytes(int32_t source, int32_t count, uint8_t** block) noexcept;

// Encrypting 0 bytes gives one block of padding (as `openssl enc` does); decrypting needs a
// whole, non-zero number of blocks. A plaintext of 0 bytes comes back as {0, null}.
int32_t CV_Encrypt(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                   const ByteBuffer* input, ByteBuffer* output) noexcept;
int32_t CV_Decrypt(int32_t algorithmId, const uint8_t* key, const uint8_t* iv,
                   const ByteBuffer* input, ByteBuffer* output) noexcept;

// DER CMS EnvelopedData, content AES-256-CBC, one recipient: RSAES-OAEP with SHA-256 for an RSA
// key, ECDH (X9.63 KDF with SHA-256, AES key wrap) for an EC key. 0 bytes may be sealed.
int32_t CV_EncryptForCertificate(EngineContext* context, const ByteBuffer* certificate,
                                 const ByteBuffer* input, ByteBuffer* output) noexcept;

// DER PKCS#8 EncryptedPrivateKeyInfo (PBES2, PKCS#12 PBEs, PBES1) to DER PrivateKeyInfo. An
// empty password is refused (kEmptyInput); a wrong one gives kWrongPassword, never a key. The
// password is text in the process's ANSI code page: one that is not ASCII and does not open the
// key is tried once more as UTF-8, in which ledra-tool and OpenSSL's tools encrypt keys
// (engine/core/passwords.h); natively it is tried as given only. A key
// whose derivation asks for more than 1,000,000 iterations (PBKDF2 and the older PBEs), or for
// scrypt beyond 32 MiB (128 * r * N) or 2^20 blocks of work (N * r * p), is refused before any
// derivation runs (kUnsupportedKeyEncryption). On a context that was given a certificate
// (CV_ParseCertificate), only that certificate's own private key is handed out: another key,
// even one that the password opens, gives kKeyNotForCertificate.
int32_t CV_DecryptPrivateKey(EngineContext* context, const ByteBuffer* encryptedKey,
                             const ByteBuffer* password, ByteBuffer* output) noexcept;

// flags must be 0. output1: the X.509 version (1 to 3); output2: the public key's size in bits
// (0 when the engine does not know the key's algorithm). Both are 0 after a failure. The context
// keeps the certificate's public key for CV_DecryptPrivateKey until it is given another
// certificate or released; a certificate that cannot be read leaves it refusing every key.
int32_t CV_ParseCertificate(EngineContext* context, const ByteBuffer* certificate, int32_t flags,
                            int32_t* output1, int32_t* output2) noexcept;

// caCertificates: DER certificates back to back, all trusted (as `openssl verify -CAfile`).
// crl, arl: DER CRLs back to back; null or empty means not given. A CRL checks the certificate
// itself, an ARL the CA certificates of its path; both together check the whole path.
// *detail is null when the certificate is valid; after any failure it is a text saying why
// (for a failed path validation, OpenSSL's error number, depth, reason and the subject concerned),
// unless detail itself is null or no memory is left for the text.
int32_t CV_VerifyCertificate(EngineContext* context, const ByteBuffer* certificate,
                             const ByteBuffer* caCertificates, const ByteBuffer* crl,
                             const ByteBuffer* arl, char** detail) noexcept;

} // namespace corvane
