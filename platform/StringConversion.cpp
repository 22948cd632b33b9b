#include "platform/StringConversion.h"

#include "platform/SecureWipe.h"

namespace qm {

NarrowText::NarrowText(const OLECHAR* text, WideToNarrowConverter convert) {
    if (text == nullptr) {
        return;
    }
    // The first pass measures the text with its terminator, in the code page's own bytes.
    int needed = convert(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    size_ = needed > 0 ? size_t(needed) : 1;
    buffer_.reset(new char[size_]); // not zero-filled: only what the conversion writes is read
    buffer_[0] = '\0';
    if (needed <= 0) {
        return;
    }
    int written = convert(CP_ACP, 0, text, -1, buffer_.get(), needed, nullptr, nullptr);
    if (written <= 0 || written > needed || buffer_[size_t(written) - 1] != '\0') {
        // Half a conversion is no text: what it wrote goes, and the text is empty.
        SecureWipe(buffer_.get(), size_);
    }
}

NarrowText::~NarrowText() {
    SecureWipe(buffer_.get(), size_);
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
