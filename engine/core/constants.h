// The numbers that callers hand to the engine, read by the engine and by every caller alike.
#pragma once

#include <cstdint>

namespace corvane {

// CV_Digest ids.
inline constexpr int32_t kDigestSha1 = 101;
inline constexpr int32_t kDigestSha256 = 102;
inline constexpr int32_t kDigestSha384 = 103;
inline constexpr int32_t kDigestSha512 = 104;

inline constexpr int32_t kRandomSource = 200; // the only source of CV_RandomBytes
inline constexpr int32_t kMaxRandomBytes = 1 << 24;

// CV_PemEncode types.
inline constexpr int32_t kPemCertificate = 1; // "CERTIFICATE"
inline constexpr int32_t kPemCrl = 2;         // "X509 CRL"

} // namespace corvane
