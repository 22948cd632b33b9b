#include <windows.h>

#include "platform/StringConversion.h"
#include "platform/command_line.h"
#include "store/tool/console.h"

#include <climits>
#include <streambuf>
#include <string>

namespace ledra::tool::console {
namespace {

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != FALSE;
}

// How much of `text` ends on a whole UTF-8 character: a character split between two writes
// would reach the console as two broken halves.
size_t WholeCharacters(const std::string& text) {
    size_t start = text.size();
    while (start > 0 && text.size() - start < 3 &&
           (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start == 0) {
        return text.size();
    }
    unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return text.size() - (start - 1) < length ? start - 1 : text.size();
}

// A stream's text, handed on at every line end and when the stream is flushed.
class ConsoleBuffer : public std::streambuf {
public:
    explicit ConsoleBuffer(DWORD which)
        : handle_(GetStdHandle(which)), console_(IsConsole(handle_)) {}
    ~ConsoleBuffer() override { Flush(); }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override {
        pending_.append(text, static_cast<size_t>(n));
        if (pending_.find('\n') != std::string::npos && !Flush()) {
            return 0;
        }
        return n;
    }
    int sync() override { return Flush() ? 0 : -1; }

private:
    bool Flush() {
        size_t whole = WholeCharacters(pending_);
        bool written = Write(pending_.substr(0, whole));
        pending_.erase(0, whole);
        return written;
    }

    bool Write(const std::string& text) {
        if (text.empty() || handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
            return true;
        }
        DWORD done = 0;
        if (!console_) {
            for (size_t at = 0; at < text.size(); at += done) {
                DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - at, 1u << 20));
                if (!WriteFile(handle_, text.data() + at, chunk, &done, nullptr) || done == 0) {
                    return false;
                }
            }
            return true;
        }
        std::wstring wide = qm::Utf8ToUtf16(text);
        for (size_t at = 0; at < wide.size(); at += done) {
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - at, 8192));
            if (!WriteConsoleW(handle_, wide.data() + at, chunk, &done, nullptr) || done == 0) {
                return false;
            }
        }
        return true;
    }

    HANDLE handle_;
    bool console_;
    std::string pending_;
};

} // namespace

Session::Session()
    : out_(std::make_unique<ConsoleBuffer>(STD_OUTPUT_HANDLE)),
      err_(std::make_unique<ConsoleBuffer>(STD_ERROR_HANDLE)),
      savedOut_(std::cout.rdbuf(out_.get())), savedErr_(std::cerr.rdbuf(err_.get())) {}

Session::~Session() {
    std::cout.flush();
    std::cerr.flush();
    std::cout.rdbuf(savedOut_);
    std::cerr.rdbuf(savedErr_);
}

std::optional<qm::WipedText> ReadLine() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!IsConsole(input)) {
        return command_line::ReadFirstLine(std::cin);
    }
    // Typed text in UTF-16: the console's code page would turn a Korean password into '?'.
    qm::Wiped<wchar_t> line(command_line::kMaxPasswordBytes);
    size_t length = 0;
    wchar_t ch = 0;
    DWORD n = 0;
    while (ReadConsoleW(input, &ch, 1, &n, nullptr) && n == 1 && ch != L'\n') {
        if (ch == L'\r') {
            continue;
        }
        if (length == line.size()) {
            return std::nullopt;
        }
        line[length++] = ch;
    }
    ch = 0;
    return qm::Utf16ToUtf8<qm::WipedText>(std::wstring_view(line.data(), length));
}

} // namespace ledra::tool::console
