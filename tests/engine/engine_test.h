// Small owners for what the engine hands out, so that every test releases it with CV_Free on every
// path (the sanitizer build then proves that nothing leaks and nothing is freed twice).
#pragma once

#include "engine/core/corvane.h"
#include "engine/core/errors.h"

#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace engine_test {

namespace err = corvane::err;

inline ByteBuffer In(std::span<const uint8_t> bytes) {
    return ByteBuffer{int32_t(bytes.size()), const_cast<uint8_t*>(bytes.data())};
}

inline ByteBuffer In(std::string_view text) {
    return ByteBuffer{int32_t(text.size()),
                      reinterpret_cast<uint8_t*>(const_cast<char*>(text.data()))};
}

inline std::vector<uint8_t> BytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

// An output buffer; its block goes back to the engine when the owner goes away.
class Out {
public:
    Out() = default;
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    ~Out() { corvane::CV_Free(buffer_.data); }

    ByteBuffer* operator&() {
        corvane::CV_Free(buffer_.data);
        buffer_ = ByteBuffer{-7, reinterpret_cast<uint8_t*>(this)}; // must be overwritten
        return &buffer_;
    }
    const ByteBuffer& get() const { return buffer_; }
    std::vector<uint8_t> bytes() const {
        if (buffer_.data == nullptr || buffer_.length <= 0) {
            return {};
        }
        return {buffer_.data, buffer_.data + buffer_.length};
    }
    std::string text() const {
        std::vector<uint8_t> b = bytes();
        return {b.begin(), b.end()};
    }

private:
    ByteBuffer buffer_{0, nullptr};
};

// A text or block pointer handed out by the engine.
template <typename T> class Block {
public:
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { corvane::CV_Free(block_); }

    T** operator&() {
        corvane::CV_Free(block_);
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
    Context() { result_ = corvane::CV_ContextInit(&context_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() { corvane::CV_ContextFree(&context_); }

    EngineContext* get() { return &context_; }
    int32_t initResult() const { return result_; }

private:
    EngineContext context_{};
    int32_t result_;
};

} // namespace engine_test
