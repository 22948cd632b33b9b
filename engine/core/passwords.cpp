// A password's two spellings: the conversions between a code page and UTF-8, strict both ways
// (the system's own converter on Windows, iconv elsewhere), and the process's ANSI code page.
#include "engine/core/passwords.h"

#include "platform/SecureWipe.h"

#include <climits>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace corvane {

bool IsAscii(std::span<const uint8_t> text) noexcept {
    for (uint8_t byte : text) {
        if (byte >= 0x80) {
            return false;
        }
    }
    return true;
}

namespace {

#ifdef _WIN32

std::optional<WipedBytes> Convert(std::span<const uint8_t> text, uint32_t from, uint32_t to) {
    if (text.empty()) {
        return WipedBytes();
    }
    if (text.size() > size_t(INT_MAX)) {
        return std::nullopt;
    }
    auto narrow = reinterpret_cast<LPCCH>(text.data());
    int units =
        MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, narrow, int(text.size()), nullptr, 0);
    if (units <= 0) {
        return std::nullopt;
    }
    qm::Wiped<wchar_t> wide{size_t(units)};
    if (MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, narrow, int(text.size()), wide.data(),
                            units) != units) {
        return std::nullopt;
    }
    // UTF-8 has every character; a code page may lack one, which must not become a stand-in.
    bool toUtf8 = to == kUtf8CodePage;
    DWORD flags = toUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* stoodIn = toUtf8 ? nullptr : &usedDefault;
    int bytes = WideCharToMultiByte(to, flags, wide.data(), units, nullptr, 0, nullptr, stoodIn);
    if (bytes <= 0 || usedDefault) {
        return std::nullopt;
    }
    WipedBytes converted{size_t(bytes)};
    if (WideCharToMultiByte(to, flags, wide.data(), units,
                            reinterpret_cast<LPSTR>(converted.data()), bytes, nullptr,
                            stoodIn) != bytes ||
        usedDefault) {
        return std::nullopt;
    }
    return converted;
}

#else

std::string IconvName(uint32_t codePage) {
    return codePage == kUtf8CodePage ? "UTF-8" : "CP" + std::to_string(codePage);
}

std::optional<WipedBytes> Convert(std::span<const uint8_t> text, uint32_t from, uint32_t to) {
    if (text.empty()) {
        return WipedBytes();
    }
    if (text.size() > SIZE_MAX / 4 - 4) {
        return std::nullopt;
    }
    iconv_t converter = iconv_open(IconvName(to).c_str(), IconvName(from).c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    // Four bytes a character at most, in either direction, and a code page's shift back at the end.
    WipedBytes converted{text.size() * 4 + 4};
    char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(text.data()));
    size_t inLeft = text.size();
    char* out = reinterpret_cast<char*>(converted.data());
    size_t outLeft = converted.size();
    // A count above 0 is of characters converted to a stand-in: another password.
    bool whole = iconv(converter, &in, &inLeft, &out, &outLeft) == 0 && inLeft == 0 &&
                 iconv(converter, nullptr, nullptr, &out, &outLeft) == 0;
    iconv_close(converter);
    if (!whole) {
        return std::nullopt;
    }
    converted.Shrink(converted.size() - outLeft);
    return converted;
}

#endif

bool IsConvertible(uint32_t codePage) {
    return codePage != 0 && codePage != kUtf8CodePage;
}

} // namespace

std::optional<WipedBytes> Utf8FromCodePage(std::span<const uint8_t> text, uint32_t codePage) {
    if (!IsConvertible(codePage)) {
        return std::nullopt;
    }
    return Convert(text, codePage, kUtf8CodePage);
}

std::optional<WipedBytes> CodePageFromUtf8(std::span<const uint8_t> utf8, uint32_t codePage) {
    if (!IsConvertible(codePage)) {
        return std::nullopt;
    }
    return Convert(utf8, kUtf8CodePage, codePage);
}

uint32_t AnsiCodePage() noexcept {
#ifdef _WIN32
    return GetACP();
#else
    return 0;
#endif
}

} // namespace corvane
