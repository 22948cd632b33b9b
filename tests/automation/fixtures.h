// What the automation tests share: the certificates and keys that the fixture script made (see
// make-fixtures.sh), and the store double as they bind it.
#pragma once

#include "tests/support/store_double.h"

#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> Fixture(const char* name);
std::string FixtureText(const char* name);

// A store double over the library's own registry functions: the stored settings stay real.
inline qmtest::StoreDouble StoreWithRealRegistry() {
    qmtest::StoreDouble store;
    store.libraryRegistry = true;
    return store;
}
