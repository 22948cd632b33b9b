// Ledra.dll's own failure codes. They are negative and live in a range of their own, so that a
// caller that passes them on unchanged never confuses them with Quillmark's codes (-2, -11, -12,
// -21), its "unbound function" code (-90001) or the crypto engine's codes.
#pragma once

#include <cstdint>

namespace ledra::err {

inline constexpr int32_t kBadArgument = -2001;   // a required pointer (area, DN, buffer) is null
inline constexpr int32_t kBadMedium = -2002;     // medium outside 0..3
inline constexpr int32_t kBadKind = -2003;       // kind other than 0 (own) or 1 (recipient)
inline constexpr int32_t kWrongPassword = -2004; // the store's access password does not match
inline constexpr int32_t kNoMedium = -2005; // the medium's (or the recipients') folder is absent
inline constexpr int32_t kNoStore = -2006;  // no absolute root: no QUILLMARK_STORE, XDG, HOME
inline constexpr int32_t kForeignStore = -2007; // the root or medium is another user's: never read
inline constexpr int32_t kOpenStore = -2008;  // others may write to the root or medium: never read
inline constexpr int32_t kNotFound = -2010;   // no readable entry has that DN
inline constexpr int32_t kTooLarge = -2011;   // certificate or key larger than the 3,000-byte block
inline constexpr int32_t kNoKey = -2012;      // a recipient's certificate has no private key
inline constexpr int32_t kDnTooLong = -2013;  // a DN of 256 bytes or more cannot name an entry
inline constexpr int32_t kUnreadable = -2014; // the entry vanished or was damaged while being read
inline constexpr int32_t kRegistry = -2020;   // the registry refused a read or a write
inline constexpr int32_t kRegistryMissing = -2021; // the registry value (or its key) does not exist
inline constexpr int32_t kRegistryType = -2022;    // the value exists with another type
inline constexpr int32_t kRegistryTruncated = -2023; // text longer than 2,047 characters: cut
inline constexpr int32_t kInternal = -2099;          // out of memory or another unexpected failure

} // namespace ledra::err
