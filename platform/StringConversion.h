// Strings at the automation boundary. Incoming automation strings become narrow text in the
// system's ANSI code page (never UTF-8), so text reaches the crypto engine and the store in the
// code page their data uses; text results go back as new automation strings owned by the caller.
#pragma once

#include "platform/Raii.h"

#include <oaidl.h>
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

namespace qm {

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
// enciphered).
class NarrowText {
public:
    explicit NarrowText(const OLECHAR* text, WideToNarrowConverter convert = WideCharToMultiByte);
    NarrowText(const NarrowText&) = delete;
    NarrowText& operator=(const NarrowText&) = delete;
    ~NarrowText();

    const char* get() const { return buffer_.get(); }
    bool IsNull() const { return !buffer_; }
    bool IsEmpty() const { return !buffer_ || buffer_[0] == '\0'; }
    // The text, or "" for a null string, for callees that must never be handed null.
    const char* OrEmpty() const { return buffer_ ? buffer_.get() : ""; }

private:
    std::unique_ptr<char[]> buffer_;
    size_t size_ = 0;
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
