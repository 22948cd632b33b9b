// The DN list of Veyra.getDNList: the DNs of one store listing joined by "|", all of them or only
// those that contain "CN=<identifier>," (ASCII letters compared without regard to case). Plain
// C++ so that it can be tested and fuzzed natively; the code page's lead bytes come from the
// caller, because a double-byte character must neither be lower-cased nor matched half-way.
#pragma once

#include <string>

namespace qm {

using LeadBytePredicate = bool (*)(unsigned char byte);

// Lead bytes of code page 949 (the test and fuzz default outside Windows).
bool IsCp949LeadByte(unsigned char byte);

// `area` holds `count` DN slots of 256 bytes; each slot is read only up to its 255th character,
// even when the store left it unterminated. An empty result means no DN was taken.
std::string JoinDnList(const char* area, int count, const char* identifier,
                       LeadBytePredicate isLeadByte);

} // namespace qm
