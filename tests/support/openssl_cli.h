// Running the openssl command line and other shell commands from tests, and the small file
// chores around it. The command line is a peer that nobody here wrote: tests check the project's
// output against it and feed it the command line's output.
//
// Plain C++ (no test framework): failures throw std::runtime_error with the command's output, so
// a GoogleTest test fails with a readable message and a benchmark or tool stops.
#pragma once

#include "tests/support/temp_dir.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::testing {

struct CommandResult {
    int exitCode = -1;
    std::string output; // standard output and standard error together
};

// Runs `command` with /bin/sh; never throws for a non-zero exit.
CommandResult RunCommand(const std::string& command);

// Runs `openssl <arguments>` and returns its output; throws when it fails.
std::string Openssl(const std::string& arguments);

// Quotes one argument for /bin/sh.
std::string ShellQuote(std::string_view argument);

// The command line's version line, e.g. "OpenSSL 3.0.13 30 Jan 2024 (Library: ...)".
std::string OpensslVersion();

std::vector<uint8_t> ReadBinaryFile(const std::filesystem::path& file);
std::string ReadTextFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, std::span<const uint8_t> bytes);
void WriteFile(const std::filesystem::path& file, std::string_view text);

std::string ToHex(std::span<const uint8_t> bytes);
std::vector<uint8_t> Concat(std::initializer_list<std::span<const uint8_t>> parts);

using TempDir = qmtest::TempDir; // tests/support/temp_dir.h

} // namespace qm::testing
