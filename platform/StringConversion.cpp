#include "platform/StringConversion.h"

#include "platform/SecureWipe.h"

namespace qm {

NarrowText::NarrowText(const OLECHAR* text, WideToNarrowConverter convert) {
    if (text == nullptr) {
        return;
    }
    null_ = false;
    // The first pass measures the text with its terminator, in the code page's own bytes.
    int needed = convert(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return;
    }
    // Not zero-filled: only what the conversion writes is read.
    text_ = WipedText::ForOverwrite(size_t(needed));
    text_[0] = '\0';
    int written = convert(CP_ACP, 0, text, -1, text_.data(), needed, nullptr, nullptr);
    if (written <= 0 || written > needed || text_[size_t(written) - 1] != '\0') {
        // Half a conversion is no text: what it wrote goes, and the text is empty.
        SecureWipe(text_.data(), text_.size());
    }
}

BSTR ToAutomationString(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    // The text converts straight into the new string, sized by a first pass of the converter:
    // the result is what converting into a buffer of length plus one units and copying it up to
    // its terminator gives, without a temporary copy of a text that may be megabytes long.
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        return SysAllocString(L"");
    }
    BSTR result = SysAllocStringLen(nullptr, UINT(units - 1));
    if (result == nullptr) {
        return nullptr;
    }
    MultiByteToWideChar(CP_ACP, 0, text, -1, result, units);
    result[units - 1] = 0;
    return result;
}

} // namespace qm
