// The conversions between UTF-16, the system's text, and narrow text, one each way, named by the
// encodings they convert between. At the automation boundary incoming automation strings become
// narrow text in the system's ANSI code page (never UTF-8), so text reaches the crypto engine and
// the store in the code page their data uses; text results go back as new automation strings
// owned by the caller. Paths, the environment and the tools' text are UTF-8 inside the programs.
#pragma once

#include "platform/Raii.h"
#include "platform/SecureWipe.h"

#include <oaidl.h>
#include <windows.h>

#include <climits>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace qm {

namespace detail {

// A narrow or wide text of `size` characters to be overwritten: a std::string or std::wstring, or
// a Wiped buffer for a secret.
template <typename Text> Text TextOfSize(size_t size) {
    if constexpr (std::is_constructible_v<Text, size_t, typename Text::value_type>) {
        return Text(size, typename Text::value_type{});
    } else {
        return Text::ForOverwrite(size);
    }
}

// UTF-16 into a code page, by the system's default rules (a character that the code page lacks
// becomes its default character, '?'): empty for an empty text or one that cannot be converted.
template <typename Narrow> Narrow FromUtf16(std::wstring_view text, UINT codePage) {
    if (text.empty() || text.size() > size_t(INT_MAX)) {
        return Narrow();
    }
    int units = int(text.size());
    int bytes = WideCharToMultiByte(codePage, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return Narrow();
    }
    Narrow narrow = TextOfSize<Narrow>(size_t(bytes));
    WideCharToMultiByte(codePage, 0, text.data(), units, narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

// A code page into UTF-16, by the same rules (a byte that is not text becomes U+FFFD).
template <typename Wide> Wide ToUtf16(std::string_view text, UINT codePage) {
    if (text.empty() || text.size() > size_t(INT_MAX)) {
        return Wide();
    }
    int bytes = int(text.size());
    int units = MultiByteToWideChar(codePage, 0, text.data(), bytes, nullptr, 0);
    if (units <= 0) {
        return Wide();
    }
    Wide wide = TextOfSize<Wide>(size_t(units));
    MultiByteToWideChar(codePage, 0, text.data(), bytes, wide.data(), units);
    return wide;
}

} // namespace detail

// UTF-16 text in the ANSI code page (CP_ACP: the system's, 949 on Korean Windows), or in another
// narrow code page; as UTF-8. Either may be made a wiped buffer: Utf16ToUtf8<WipedText>(...).
template <typename Narrow = std::string>
Narrow Utf16ToAnsi(std::wstring_view text, UINT codePage = CP_ACP) {
    return detail::FromUtf16<Narrow>(text, codePage);
}
template <typename Narrow = std::string> Narrow Utf16ToUtf8(std::wstring_view text) {
    return detail::FromUtf16<Narrow>(text, CP_UTF8);
}

// UTF-8 text as UTF-16.
template <typename Wide = std::wstring> Wide Utf8ToUtf16(std::string_view text) {
    return detail::ToUtf16<Wide>(text, CP_UTF8);
}

// The platform's UTF-16 to narrow converter (WideCharToMultiByte), or a test's stand-in.
using WideToNarrowConverter = int(WINAPI*)(UINT codePage, DWORD flags, LPCWCH text, int units,
                                           LPSTR narrow, int bytes, LPCCH defaultChar,
                                           LPBOOL usedDefault);

// An incoming BSTR as narrow text, for the duration of one call. A null BSTR stays null;
// characters after the first NUL are dropped; a character the code page cannot represent becomes
// the code page's default character. The buffer is sized by the converter itself, so any ANSI
// code page fits (UTF-8 takes three bytes for a Korean syllable, GB 18030 up to four); a text the
// converter cannot convert becomes empty text, which every method refuses as it refuses empty
// input. The whole buffer is wiped when released (it may hold a password or the text being
// enciphered). Text by UTF-16 length, in any code page, is Utf16ToAnsi's (above).
class NarrowText {
public:
    explicit NarrowText(const OLECHAR* text, WideToNarrowConverter convert = WideCharToMultiByte);
    NarrowText(const NarrowText&) = delete;
    NarrowText& operator=(const NarrowText&) = delete;

    const char* get() const { return null_ ? nullptr : text_.c_str(); }
    bool IsNull() const { return null_; }
    bool IsEmpty() const { return null_ || text_.c_str()[0] == '\0'; }
    // The text, or "" for a null string, for callees that must never be handed null.
    const char* OrEmpty() const { return text_.c_str(); }

private:
    WipedText text_; // with its terminator
    bool null_ = true;
};

// Narrow text in the ANSI code page as a new automation string owned by the caller. Null text
// gives a null result; so does an exhausted allocator (SysAllocString's own answer).
BSTR ToAutomationString(const char* text);

// A BSTR that frees itself (SysFreeString) unless handed over.
using UniqueBstr = UniqueResource<BSTR, SysFreeString>;

// The whole text of a BSTR, by its length (a NUL inside stays); empty for a null BSTR.
inline std::wstring WideText(BSTR text) {
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

} // namespace qm
