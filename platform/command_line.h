// The conventions that every command-line tool of the project follows, over CLI11: the same exit
// statuses, `--version` and `--help`, "--name value" and "--name=value", "--" before an argument
// that starts with "-", and a bad command line told in one line of the tool's own words.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
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

// Parses the arguments (UTF-8, without the program's name). False when it printed the help or the
// version to `out` and the tool has nothing more to do; UsageError for a bad command line.
bool Parse(CLI::App& app, std::vector<std::string> args, std::ostream& out);

// Runs a tool's body: a UsageError or any other exception becomes one line on standard error
// and the matching exit status.
int Run(const std::string& program, const std::function<int()>& body);

} // namespace command_line
