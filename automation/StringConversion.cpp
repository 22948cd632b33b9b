#include "automation/StringConversion.h"

#include "crypto/SecureWipe.h"

namespace qm {

NarrowText::NarrowText(const OLECHAR* text) {
    if (text == nullptr) {
        return;
    }
    // Twice the characters plus 2: a double-byte code page needs at most two bytes a character.
    size_t characters = static_cast<size_t>(lstrlenW(text));
    size_t capacity = characters * 2 + 2;
    buffer_.reset(new char[capacity]); // not zero-filled: only what the conversion writes is read
    buffer_[0] = '\0';
    int written =
        WideCharToMultiByte(CP_ACP, 0, text, -1, buffer_.get(),
                            capacity > 0x7FFFFFFF ? 0x7FFFFFFF : int(capacity), nullptr, nullptr);
    size_ = written > 0 ? size_t(written) : 1; // what the wipe must clear
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
