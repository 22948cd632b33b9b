// What the store reads from a certificate: its names as text and its expiry.
#pragma once

#include "platform/OpenSslOwners.h"

#include <openssl/x509.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ledra {

using qm::X509Ptr;

// Parses DER bytes that must hold exactly one certificate and nothing else.
X509Ptr ParseCertificate(std::span<const uint8_t> der);

// The RFC 4514 text of a name in UTF-8: most specific component first, attribute names in lower
// case ("cn=홍길동,ou=Users,o=Quillmark Demo,c=KR"), special characters escaped with '\'.
// Nothing when a value cannot be read as text.
std::optional<std::string> NameText(const X509_NAME* name);

// Quillmark hands out the DNs of a listing joined by this character (getDNList), and its pages
// split the list there: a DN that holds one would read as two, neither of them its own (and the
// second, text of the certificate's holder's choosing, may look like anyone's). Escaping it would
// hand pages a DN text that no other program writes for that name, so such a certificate is left
// out: the store neither lists it nor finds it, as it does a DN too long for a slot.
inline constexpr char kDnListSeparator = '|';

// Whether the DN text can stand in a DN list of Quillmark's.
inline bool FitsADnList(std::string_view dn) {
    return dn.find(kDnListSeparator) == std::string_view::npos;
}

// The end of the validity period in seconds since 1970, or nothing when it cannot be read.
std::optional<int64_t> NotAfter(const X509* cert);

// The same as a signed 32-bit C time: later dates become the largest value, earlier ones the
// smallest.
int32_t ClampTime32(int64_t seconds);

// SHA-256 of the bytes as 64 lower-case hex digits: the store's name for an entry, safe as a file
// name whatever the certificate's DN holds.
std::string Fingerprint(std::span<const uint8_t> der);

} // namespace ledra
