// Small owners for what the engine hands out, so that every test releases it with CV_Free on every
// path (the sanitizer build then proves that nothing leaks and nothing is freed twice), and the
// helpers that the engine's test programs share.
#pragma once

#include "engine/core/corvane.h"
#include "engine/core/errors.h"
#include "tests/support/openssl_cli.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace engine_test {

using namespace corvane;
using namespace qm::testing;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline ByteBuffer In(std::span<const uint8_t> bytes) {
    return ByteBuffer{int32_t(bytes.size()), const_cast<uint8_t*>(bytes.data())};
}

inline ByteBuffer In(std::string_view text) {
    return ByteBuffer{int32_t(text.size()),
                      reinterpret_cast<uint8_t*>(const_cast<char*>(text.data()))};
}

inline Bytes BytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

inline Bytes RandomBytes(size_t n, std::mt19937& gen) {
    Bytes bytes(n);
    for (uint8_t& b : bytes) {
        b = uint8_t(gen());
    }
    return bytes;
}

inline std::string Q(const fs::path& p) {
    return ShellQuote(p.string());
}

// An output buffer; its block goes back to the engine when the owner goes away.
class Out {
public:
    Out() = default;
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    ~Out() { CV_Free(buffer_.data); }

    ByteBuffer* operator&() {
        CV_Free(buffer_.data);
        buffer_ = ByteBuffer{-7, reinterpret_cast<uint8_t*>(this)}; // must be overwritten
        return &buffer_;
    }
    const ByteBuffer& get() const { return buffer_; }
    Bytes bytes() const {
        if (buffer_.data == nullptr || buffer_.length <= 0) {
            return {};
        }
        return {buffer_.data, buffer_.data + buffer_.length};
    }

private:
    ByteBuffer buffer_{0, nullptr};
};

// The code of `call(output)` and, in `bytes`, what it wrote; a failed call must write nothing.
template <typename Call> int32_t Collect(Bytes& bytes, Call call) {
    Out out;
    int32_t rc = call(&out);
    if (rc != 0) {
        EXPECT_EQ(out.get().data, nullptr);
        EXPECT_EQ(out.get().length, 0);
    }
    bytes = out.bytes();
    return rc;
}

// A text or block pointer handed out by the engine.
template <typename T> class Block {
public:
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { CV_Free(block_); }

    T** operator&() {
        CV_Free(block_);
        block_ = reinterpret_cast<T*>(this); // must be overwritten
        return &block_;
    }
    T* get() const { return block_; }

private:
    T* block_ = nullptr;
};

using Text = Block<char>;

inline std::string Str(const Text& text) {
    return text.get() != nullptr ? text.get() : "";
}

// A live engine context for the life of the owner.
class Context {
public:
    Context() { result_ = CV_ContextInit(&context_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() { CV_ContextFree(&context_); }

    EngineContext* get() { return &context_; }
    int32_t initResult() const { return result_; }

private:
    EngineContext context_{};
    int32_t result_;
};

// A fixture whose `Shared` (certificates and keys, slow to make) is made once for the whole suite.
template <typename Shared> class SuiteWide : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared_ = new Shared; }
    static void TearDownTestSuite() { delete shared_; }

    static inline Shared* shared_ = nullptr;
    Context context_;
};

} // namespace engine_test
