#include "automation/DnList.h"

#include "platform/abi.h"

#include <cstring>

namespace qm {

namespace {

// A DN holds at most 255 characters; a slot the store left unterminated is cut there, so the
// joined list always fits the count x 256 bytes that a listing can fill.
std::string SlotText(const char* area, int slot) {
    const char* dn = area + size_t(slot) * kDnSlotSize;
    return std::string(dn, strnlen(dn, kDnSlotSize - 1));
}

// Lower-cases ASCII letters; both bytes of a double-byte character are left as they are.
std::string LowerAscii(const std::string& text, LeadBytePredicate isLeadByte) {
    std::string lowered = text;
    for (size_t i = 0; i < lowered.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(lowered[i]);
        if (isLeadByte(c)) {
            ++i; // skip the trail byte, which may fall in the ASCII letter range
        } else if (c >= 'A' && c <= 'Z') {
            lowered[i] = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lowered;
}

// Whether `pattern` occurs in `text` starting at a character boundary.
bool ContainsAtBoundary(const std::string& text, const std::string& pattern,
                        LeadBytePredicate isLeadByte) {
    if (pattern.empty()) {
        return true;
    }
    for (size_t i = 0; i + pattern.size() <= text.size(); ++i) {
        if (text.compare(i, pattern.size(), pattern) == 0) {
            return true;
        }
        if (isLeadByte(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
    }
    return false;
}

} // namespace

bool IsCp949LeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

std::string JoinDnList(const char* area, int count, const char* identifier,
                       LeadBytePredicate isLeadByte) {
    std::string output;
    if (area == nullptr || count <= 0) {
        return output;
    }
    if (identifier == nullptr || identifier[0] == '\0') {
        // Every DN, empty ones included.
        for (int slot = 0; slot < count; ++slot) {
            if (slot > 0) {
                output += '|';
            }
            output += SlotText(area, slot);
        }
        return output;
    }
    std::string pattern = LowerAscii(std::string("CN=") + identifier + ",", isLeadByte);
    for (int slot = 0; slot < count; ++slot) {
        std::string dn = SlotText(area, slot);
        if (ContainsAtBoundary(LowerAscii(dn, isLeadByte), pattern, isLeadByte)) {
            if (!output.empty()) {
                output += '|';
            }
            output += dn;
        }
    }
    return output;
}

} // namespace qm
