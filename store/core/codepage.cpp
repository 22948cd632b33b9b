#include "store/core/codepage.h"

#include <iconv.h>

#include <cerrno>
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

std::string IconvName(int codePage) {
    switch (codePage) {
    case 20127:
        return "ASCII";
    case 20932:
        return "EUC-JP";
    case 51949:
        return "EUC-KR";
    default:
        return "CP" + std::to_string(codePage);
    }
}

class Converter {
public:
    explicit Converter(int codePage) {
        if (codePage != kUtf8CodePage) {
            cd_ = iconv_open(IconvName(codePage).c_str(), "UTF-8");
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    ~Converter() {
        if (cd_ != kInvalid) {
            iconv_close(cd_);
        }
    }

    // Appends the conversion of one character to `out`; false when the code page lacks it.
    bool Convert(std::string_view character, std::string& out, bool utf8) {
        if (utf8) {
            out.append(character);
            return true;
        }
        if (cd_ == kInvalid) {
            if (character.size() == 1) { // an unknown code page still has ASCII
                out.append(character);
                return true;
            }
            return false;
        }
        char buffer[16];
        char* in = const_cast<char*>(character.data());
        size_t inLeft = character.size();
        char* outPtr = buffer;
        size_t outLeft = sizeof(buffer);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd_, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) {
            return false;
        }
        out.append(buffer, outPtr - buffer);
        return true;
    }

private:
    static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);
    iconv_t cd_ = kInvalid;
};

} // namespace

AnsiText ToAnsi(std::string_view utf8, int codePage, size_t limit) {
    AnsiText result;
    Converter converter(codePage);
    bool direct = codePage == kUtf8CodePage;
    std::string piece;
    while (!utf8.empty()) {
        size_t n = NextCharacter(utf8);
        piece.clear();
        if (n == 0 || !converter.Convert(utf8.substr(0, n), piece, direct)) {
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
