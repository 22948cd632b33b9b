// BSTRs as the tests hand them to the automation classes: owned, made from a wide text in one call.
// A text given with its length keeps embedded NULs (Bstr({L"ab\0cd", 5})); a null pointer gives a
// null BSTR, as a script's `null` arrives.
#pragma once

#include "platform/StringConversion.h"

#include <windows.h>

#include <oleauto.h>

#include <string>
#include <string_view>

namespace qmtest {

inline qm::UniqueBstr Bstr(std::wstring_view text) {
    return qm::UniqueBstr(SysAllocStringLen(text.data(), UINT(text.size())));
}

inline qm::UniqueBstr Bstr(const wchar_t* text) {
    return qm::UniqueBstr(text != nullptr ? SysAllocString(text) : nullptr);
}

// What a method handed back, "<null>" for a null BSTR; the BSTR's own length, NULs and all.
inline std::wstring TextOf(BSTR text) {
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : L"<null>";
}

} // namespace qmtest
