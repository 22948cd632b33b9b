// Corvane.dll's own failure codes. Every engine function returns 0 or one of these. They live in
// -1000..-1999 so that callers, which pass engine codes on unchanged, never confuse them with
// Quillmark's own codes (-2, -11, -12, -21), its "unbound function" code (-90001) or the
// certificate store's codes (-2000..-2099).
#pragma once

#include <cstdint>

namespace corvane::err {

// Arguments.
inline constexpr int32_t kNullArgument = -1001;   // a required pointer is null
inline constexpr int32_t kNegativeLength = -1002; // a ByteBuffer with a negative length
inline constexpr int32_t kEmptyInput = -1003;     // the input holds nothing to work on
inline constexpr int32_t kTooLarge = -1004;       // the result would not fit a 32-bit length
inline constexpr int32_t kBadFlags = -1005; // a flags or type argument the engine does not know

// The engine itself.
inline constexpr int32_t kOutOfMemory = -1010;
inline constexpr int32_t kInternal = -1011;           // an unexpected failure inside the engine
inline constexpr int32_t kLibraryUnavailable = -1012; // the private OpenSSL context could not start
inline constexpr int32_t kBadContext = -1013;   // the EngineContext is not initialised or released
inline constexpr int32_t kContextLimit = -1014; // too many live contexts
inline constexpr int32_t kUnknownBlock = -1015; // CV_Free of a block the engine does not hold

// Encodings.
inline constexpr int32_t kBadBase64 = -1020; // a foreign character, bad padding or a cut-off text
inline constexpr int32_t kBadPem = -1021;    // no well-formed "-----BEGIN" block
inline constexpr int32_t kBadDer = -1022;    // the bytes are not one complete DER structure

// Algorithms.
inline constexpr int32_t kUnknownDigest = -1030;
inline constexpr int32_t kUnknownCipher = -1031;
inline constexpr int32_t kAlgorithmUnavailable = -1032; // known, but no provider offers it
inline constexpr int32_t kBadRandomSource = -1033;
inline constexpr int32_t kRandomFailed = -1034;

// Symmetric encryption.
inline constexpr int32_t kEncryptFailed = -1040;
inline constexpr int32_t kDecryptFailed = -1041; // wrong key or IV, damaged or cut-off ciphertext

// Certificates and keys.
inline constexpr int32_t kBadCertificate = -1050; // not one DER X.509 certificate
inline constexpr int32_t kUnsupportedKey = -1051; // neither an RSA nor an EC public key
inline constexpr int32_t kSealFailed = -1052;
inline constexpr int32_t kBadPrivateKey = -1053; // not a DER EncryptedPrivateKeyInfo
// A PBE that the engine cannot run, or one that asks for more work than a stored key may.
inline constexpr int32_t kUnsupportedKeyEncryption = -1054;
inline constexpr int32_t kWrongPassword = -1055;     // or a key damaged beyond decryption
inline constexpr int32_t kBadCaCertificates = -1056; // the CA bundle holds something else
inline constexpr int32_t kBadCrl = -1057;            // the CRL or ARL holds something else
// The key opens, but its public half is not the public key of the certificate that the context
// was given (CV_ParseCertificate): it is someone else's key.
inline constexpr int32_t kKeyNotForCertificate = -1058;

// A certificate that does not validate: kVerifyFailed minus OpenSSL's verification error number
// (X509_V_ERR_*), so -1410 is "certificate has expired" (10) and -1423 "certificate revoked" (23).
// Numbers beyond the range end at kVerifyFailedLast.
inline constexpr int32_t kVerifyFailed = -1400;
inline constexpr int32_t kVerifyFailedLast = -1599;

} // namespace corvane::err
