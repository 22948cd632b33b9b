#include "ui/CertRows.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace qm::ui {

namespace {

// Bytes of the character that starts at `at`: 2 for the lead byte of a double-byte character of
// the ANSI code page (when its trail byte is there), else 1. Byte-wise searches of DBCS text would
// otherwise match on trail bytes ('c' and 'n' are trail bytes in code page 949).
size_t CharBytes(std::string_view text, size_t at) noexcept {
    if (at + 1 < text.size() && IsDBCSLeadByte(static_cast<BYTE>(text[at]))) {
        return 2;
    }
    return 1;
}

size_t FindOnCharBoundary(std::string_view text, std::string_view what, size_t from) noexcept {
    for (size_t at = from; at < text.size(); at += CharBytes(text, at)) {
        if (text.substr(at, what.size()) == what) {
            return at;
        }
    }
    return std::string_view::npos;
}

} // namespace

std::string_view DnOfSlot(const char (&slot)[kDnSlotSize], bool& terminated) noexcept {
    const void* end = std::memchr(slot, '\0', sizeof(slot));
    terminated = end != nullptr;
    if (!terminated) {
        return {};
    }
    return std::string_view(slot, size_t(static_cast<const char*>(end) - slot));
}

bool CommonName(std::string_view dn, char (&text)[kNameTextSize]) noexcept {
    std::memset(text, 0, sizeof(text));
    constexpr std::string_view kTag = "cn=";
    size_t tag = FindOnCharBoundary(dn, kTag, 0);
    if (tag == std::string_view::npos) {
        return false;
    }
    size_t start = tag + kTag.size();
    size_t comma = FindOnCharBoundary(dn, ",", start);
    std::string_view value =
        dn.substr(start, comma == std::string_view::npos ? dn.npos : comma - start);
    size_t taken = 0;
    while (taken < value.size()) {
        size_t next = taken + CharBytes(value, taken);
        if (next > sizeof(text) - 1) {
            break;
        }
        taken = next;
    }
    std::memcpy(text, value.data(), taken);
    return true;
}

void FormatExpiry(int32_t expiry, char (&text)[kDateTextSize]) noexcept {
    __time64_t time = expiry;
    struct tm local {};
    if (_localtime64_s(&local, &time) != 0) {
        std::snprintf(text, sizeof(text), "%s", kUnknownDate);
        return;
    }
    std::snprintf(text, sizeof(text), "%d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
}

bool AdmitRecord(const CertInfoRecord& record, std::string_view filter, CertRowText& row) noexcept {
    bool subjectTerminated = false;
    bool issuerTerminated = false;
    std::string_view subject = DnOfSlot(record.subjectDN, subjectTerminated);
    std::string_view issuer = DnOfSlot(record.issuerDN, issuerTerminated);
    // A slot without its terminator names no DN that the store could be asked for again.
    if (!subjectTerminated || !issuerTerminated) {
        return false;
    }
    if (!filter.empty() && subject != filter) {
        return false;
    }
    if (!CommonName(subject, row.user) || !CommonName(issuer, row.issuer)) {
        return false;
    }
    FormatExpiry(record.expiry, row.expiry);
    return true;
}

} // namespace qm::ui
