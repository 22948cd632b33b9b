// The conventions that every command-line tool of the project follows, over CLI11: the same exit
// statuses, `--version` and `--help`, "--name value" and "--name=value", "--" before an argument
// that starts with "-", and a bad command line told in one line of the tool's own words.
#pragma once

#include "platform/SecureWipe.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace command_line {

enum Status { kDone = 0, kFailed = 1, kBadCommandLine = 2 };

inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 done, 1 failed, 2 bad command line.\n";

// A command line that cannot be right: the tool says why and ends with kBadCommandLine.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Gives `app` the tools' conventions. Its description is its help's first lines: it starts with
// the usage line, which CLI11 would otherwise write after it.
void Configure(CLI::App& app, const std::string& program, const std::string& description);

// A paragraph of a tool's help, in lines that end before the help's right margin.
std::string Paragraph(const std::string& text);

// Parses the arguments (UTF-8, without the program's name). False when it printed the help or the
// version to `out` and the tool has nothing more to do; UsageError for a bad command line.
bool Parse(CLI::App& app, std::vector<std::string> args, std::ostream& out);

// Runs a tool's body: a UsageError or any other exception becomes one line on standard error
// and the matching exit status.
int Run(const std::string& program, const std::function<int()>& body);

// ---- Passwords ---------------------------------------------------------------------------------
// Every tool takes a password the same way. It is read from
//   pass:TEXT   the command line itself (which every local user can read in the list of processes),
//   env:NAME    the environment variable NAME, which must be set,
//   file:PATH   the first line of the file,
//   -           the first line of standard input,
// The text of pass: and env: is taken whole; a line read from a file or standard input ends before
// its line end (CR or LF). A source of any other form, an unset variable and an empty password
// are faults of the command line; a file that cannot be read fails the tool. The text is kept in
// a wiped buffer from the moment it is read.

// The rule in words, for the tools' help.
inline constexpr const char* kPasswordSources =
    "pass:TEXT (the password itself, which every local user can read in the list of processes), "
    "env:VARIABLE (an environment variable, which must be set), file:PATH (the file's first "
    "line) or - (the first line of standard input)";

// No password is longer (a longer line is no password a person typed or a tool wrote).
inline constexpr size_t kMaxPasswordBytes = 64 * 1024;

// Whether `source` has one of the forms above.
bool IsPasswordSource(std::string_view source);

// Reads the password that `source` names for `option` (its name, for messages: "--new-pass").
// `readStandardInput` reads the line for "-" (the Windows tool reads a console in Unicode);
// without it, the line comes from std::cin. Throws UsageError, or std::runtime_error for a file.
qm::WipedText
ReadPassword(std::string_view source, const std::string& option,
             const std::function<std::optional<qm::WipedText>()>& readStandardInput = nullptr);

// The first line of `in`, without its line end, of at most `limit` bytes (nothing when it is
// longer). Its bytes never pass through a buffer that is not wiped, beyond the stream's own.
std::optional<qm::WipedText> ReadFirstLine(std::istream& in, size_t limit = kMaxPasswordBytes);

} // namespace command_line
