// The tool's text in and out: UTF-8 inside the tool, whatever the console does with it.
#pragma once

#include "platform/SecureWipe.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace ledra::tool::console {

#ifdef _WIN32
// While it lives, std::cout and std::cerr take UTF-8 text and hand it on as the other end needs:
// a console gets UTF-16 through WriteConsoleW (so Korean text shows whatever the console's code
// page), a pipe or a file gets the UTF-8 bytes as they are.
class Session {
public:
    Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

private:
    std::unique_ptr<std::streambuf> out_;
    std::unique_ptr<std::streambuf> err_;
    std::streambuf* savedOut_;
    std::streambuf* savedErr_;
};

// The first line of standard input in UTF-8 (a password typed at a console, say), without its
// end, wiped when released; nothing when it is longer than a password may be.
std::optional<qm::WipedText> ReadLine();
#endif

} // namespace ledra::tool::console
