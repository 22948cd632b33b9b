// getDNList's text path: a hostile DN area (unterminated slots, any bytes, any count) and a
// hostile identifier. The join must stay inside the area and keep the result's shape.
#include "automation/DnList.h"
#include "platform/abi.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    int count = data[0] % (qm::kMaxListEntries + 1);
    size_t idLength = std::min<size_t>(data[1], size - 2);
    std::string identifier(reinterpret_cast<const char*>(data + 2), idLength);
    identifier = identifier.c_str(); // the identifier is a C string: it ends at its first NUL
    // Exactly count slots, so that the sanitizer sees any read past the listing.
    std::vector<char> area(size_t(count) * qm::kDnSlotSize);
    size_t rest = size - 2 - idLength;
    if (!area.empty() && rest > 0) {
        std::memcpy(area.data(), data + 2 + idLength, std::min(rest, area.size()));
    }
    std::string joined = qm::JoinDnList(count > 0 ? area.data() : nullptr, count,
                                        identifier.c_str(), qm::IsCp949LeadByte);
    if (joined.size() > size_t(count) * qm::kDnSlotSize) {
        std::abort(); // the output buffer of getDNList holds count x 256 bytes
    }
    return 0;
}
