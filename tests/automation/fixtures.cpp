#include "tests/automation/fixtures.h"

#include <fstream>
#include <iterator>

std::vector<uint8_t> Fixture(const char* name) {
    std::ifstream in(std::string(QM_FIXTURES) + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string FixtureText(const char* name) {
    std::vector<uint8_t> bytes = Fixture(name);
    return std::string(bytes.begin(), bytes.end());
}
