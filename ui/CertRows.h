// The rules that turn the store's certificate records into the selection list's rows, apart from
// any window: which records are shown and what their three texts are. Texts are narrow strings in
// the ANSI code page, as the store writes them.
#pragma once

#include "platform/abi.h"

#include <cstddef>
#include <string_view>

namespace qm::ui {

// A row's user and issuer texts: at most 64 bytes and the terminator.
inline constexpr int kNameTextSize = 65;
inline constexpr int kDateTextSize = 32;
// The date text of an expiry that the C library cannot turn into a local date.
inline constexpr const char* kUnknownDate = "-";

struct CertRowText {
    char user[kNameTextSize];
    char issuer[kNameTextSize];
    char expiry[kDateTextSize];
};

// The DN held in a record's 256-byte slot, or an empty view with `terminated` false when the slot
// has no terminator (the record is then malformed).
std::string_view DnOfSlot(const char (&slot)[kDnSlotSize], bool& terminated) noexcept;

// The value of the first "cn=" component (lower case only: a DN that spells "CN=" has none): the
// characters after it up to the next ",", or to the end of the DN when no comma follows, cut to
// at most 64 bytes without splitting a double-byte character. False when there is no "cn=".
bool CommonName(std::string_view dn, char (&text)[kNameTextSize]) noexcept;

// The expiry (seconds since 1970, UTC) as the local date "2004-03-09", or kUnknownDate.
void FormatExpiry(int32_t expiry, char (&text)[kDateTextSize]) noexcept;

// Whether the record is listed under `filter` (empty: every record; otherwise only the record
// whose subject DN equals it byte for byte), and if so its three texts.
bool AdmitRecord(const CertInfoRecord& record, std::string_view filter, CertRowText& row) noexcept;

} // namespace qm::ui
