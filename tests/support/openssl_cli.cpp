#include "tests/support/openssl_cli.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>

namespace qm::testing {

CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    std::string full = "( " + command + " ) 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run: " + command);
    }
    std::array<char, 4096> chunk{};
    for (size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
        result.output.append(chunk.data(), n);
    }
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Openssl(const std::string& arguments) {
    CommandResult r = RunCommand("openssl " + arguments);
    if (r.exitCode != 0) {
        throw std::runtime_error("openssl " + arguments + " failed (" + std::to_string(r.exitCode) +
                                 "):\n" + r.output);
    }
    return r.output;
}

std::string ShellQuote(std::string_view argument) {
    std::string quoted = "'";
    for (char c : argument) {
        quoted += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
    }
    return quoted + "'";
}

std::string OpensslVersion() {
    return Openssl("version");
}

std::vector<uint8_t> ReadBinaryFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadTextFile(const std::filesystem::path& file) {
    std::vector<uint8_t> bytes = ReadBinaryFile(file);
    return {bytes.begin(), bytes.end()};
}

void WriteFile(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void WriteFile(const std::filesystem::path& file, std::string_view text) {
    WriteFile(file, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::string ToHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        hex += {kDigits[b >> 4], kDigits[b & 15]};
    }
    return hex;
}

std::vector<uint8_t> Concat(std::initializer_list<std::span<const uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (std::span<const uint8_t> part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

} // namespace qm::testing
