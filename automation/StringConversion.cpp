#include "automation/StringConversion.h"

#include "crypto/SecureWipe.h"

namespace qm {

NarrowText::NarrowText(const OLECHAR* text) {
    if (text == nullptr) {
        return;
    }
    // Twice the characters plus 2: a double-byte code page needs at most two bytes a character.
    size_t characters = static_cast<size_t>(lstrlenW(text));
    size_ = characters * 2 + 2;
    buffer_ = std::make_unique<char[]>(size_);
    buffer_[0] = '\0';
    int capacity = size_ > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size_);
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer_.get(), capacity, nullptr, nullptr);
}

NarrowText::~NarrowText() {
    SecureWipe(buffer_.get(), size_);
}

BSTR ToAutomationString(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t length = static_cast<size_t>(lstrlenA(text));
    auto wide = std::make_unique<OLECHAR[]>(length + 1);
    wide[0] = 0;
    int capacity = length + 1 > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length + 1);
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.get(), capacity);
    BSTR result = SysAllocString(wide.get());
    SecureWipe(wide.get(), (length + 1) * sizeof(OLECHAR));
    return result;
}

} // namespace qm
