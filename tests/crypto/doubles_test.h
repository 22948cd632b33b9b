// The crypto objects' own contracts run over the engine, through its double (which keeps a ledger
// of every block the engine hands out, so that leaks and stray frees show, and fails any function
// on request), and over the store double. The certificates, keys and CRL are those that
// tests/automation/make-fixtures.sh made for the automation tests.
#pragma once

#include "tests/automation/fixtures.h"
#include "tests/support/engine_double.h"
#include "tests/support/store_double.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace err = corvane::err;

// The password that opens user.key.p8.
inline constexpr const char* kUserKeyPassword = "secret";

inline std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

inline std::vector<uint8_t> Held(const ByteBuffer& buffer) {
    return buffer.data == nullptr ? std::vector<uint8_t>{}
                                  : std::vector<uint8_t>(buffer.data, buffer.data + buffer.length);
}

// Binds both doubles for the test and, afterwards, checks that every engine block handed out was
// returned exactly once, that every context was freed, and restores the real bindings. A failure
// that the test asks of the engine leaves junk in the call's outputs, which the objects must
// neither read nor free.
class DoublesTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine_ = &qmtest::BindEngineDouble();
        engine_->recordCalls = true;
        engine_->junkOnFailure = true;
        binding_.emplace(store_);
    }
    void TearDown() override {
        EXPECT_EQ(engine().live.size(), 0u) << "engine blocks not returned with CV_Free";
        EXPECT_EQ(engine().strayFrees, 0) << "CV_Free of a block the engine did not hand out";
        EXPECT_EQ(engine().contexts, 0) << "engine contexts not freed";
        qmtest::UnbindEngineDouble();
        binding_.reset();
    }

    qmtest::EngineDouble& engine() { return *engine_; }
    qmtest::StoreDouble& store() { return store_; }
    void FailEngine(const std::string& name, int32_t code) { engine().failures[name] = code; }
    size_t LiveBlocks() const { return engine_->live.size(); }

private:
    qmtest::EngineDouble* engine_ = nullptr;
    qmtest::StoreDouble store_;
    std::optional<qmtest::ScopedStoreDouble> binding_;
};
