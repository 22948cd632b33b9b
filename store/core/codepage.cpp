#include "store/core/codepage.h"
#include "store/core/platform.h"

#include <string>

namespace ledra {
namespace {

// Length of the UTF-8 sequence that starts with `lead`, 0 when it cannot start one.
size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// One well-formed UTF-8 character at the start of `text`: its length, or 0.
size_t NextCharacter(std::string_view text) {
    size_t n = SequenceLength(static_cast<unsigned char>(text[0]));
    if (n == 0 || n > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return n;
}

} // namespace

AnsiText Utf8ToAnsi(std::string_view utf8, int codePage, size_t limit) {
    AnsiText result;
    platform::AnsiEncoder encoder(codePage);
    bool direct = codePage == kUtf8CodePage;
    std::string piece;
    while (!utf8.empty()) {
        size_t n = NextCharacter(utf8);
        piece.clear();
        if (n != 0 && direct) {
            piece.assign(utf8.substr(0, n));
        } else if (n == 0 || !encoder.Append(utf8.substr(0, n), piece)) {
            piece = "?";
        }
        if (result.text.size() + piece.size() > limit) {
            result.cut = true;
            break;
        }
        result.text += piece;
        utf8.remove_prefix(n == 0 ? 1 : n);
    }
    return result;
}

} // namespace ledra
