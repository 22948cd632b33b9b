// The crypto objects' own contracts run over the engine double doing its toy work (it hands out
// every block from a ledger so that leaks and stray frees show, and fails any function on request)
// and over the store double.
#pragma once

#include "tests/support/engine_double.h"
#include "tests/support/store_double.h"

#include <gtest/gtest.h>

#include <optional>

namespace toy = qmtest::toy;

// Binds both doubles for the test and, afterwards, checks that every engine block handed out was
// returned exactly once, that every context was freed, and restores the real bindings.
class DoublesTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine_ = &qmtest::BindEngineDouble(qmtest::EngineWork::Toy);
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
