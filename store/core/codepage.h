// UTF-8 to a Windows ANSI code page, the way the store's narrow texts need it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ledra {

inline constexpr int kUtf8CodePage = 65001;

struct AnsiText {
    std::string text;
    bool cut = false; // the whole text did not fit in the limit
};

// Converts UTF-8 text to the code page. A character that the code page lacks, and a byte that is
// not UTF-8, becomes '?' (as the platform's own conversion does by default), so texts converted
// here compare equal to what a Windows caller converts from the same Unicode text. The result is
// cut before the first character that would make it longer than `limit` bytes: never inside a
// double-byte character.
AnsiText Utf8ToAnsi(std::string_view utf8, int codePage, size_t limit);

} // namespace ledra
