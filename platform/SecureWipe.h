// Wiping of secrets (key material, IVs, unlocked keys, passwords) before their memory goes back to
// the allocator. A plain memset before a free is a dead store that the compiler may drop; the
// empty assembly statement that takes the buffer's address and clobbers memory makes the stores
// observable, so they stay, at memset's speed (texts of several megabytes pass through here).
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

namespace qm {

inline void SecureWipe(void* data, size_t size) noexcept {
    if (data == nullptr || size == 0) {
        return;
    }
#if defined(__GNUC__) || defined(__clang__)
    std::memset(data, 0, size);
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (size-- > 0) {
        *p++ = 0;
    }
#endif
}

// A buffer of secret items (bytes of a key, a password's text), wiped whole when it is released
// or given a new content. It never grows, so no copy is ever left behind by a reallocation; it
// shrinks in place, wiping what it lets go. An element past the end is always zero, so a text
// reads as a C string too.
template <typename T> class Wiped {
public:
    using value_type = T;

    Wiped() = default;
    // `size` zero items.
    explicit Wiped(size_t size)
        : items_(std::make_unique<T[]>(size + 1)), size_(size), capacity_(size) {}
    // A copy of `size` items.
    Wiped(const T* items, size_t size) : Wiped(ForOverwrite(size)) {
        std::copy(items, items + size, items_.get());
    }
    explicit Wiped(std::string_view text) requires std::same_as<T, char>
        : Wiped(text.data(), text.size()) {}
    // `size` items that the caller fills before it reads them (megabytes of text are not cleared
    // first only to be overwritten).
    static Wiped ForOverwrite(size_t size) {
        Wiped wiped;
        wiped.items_ = std::make_unique_for_overwrite<T[]>(size + 1);
        wiped.items_[size] = T{};
        wiped.size_ = size;
        wiped.capacity_ = size;
        return wiped;
    }

    Wiped(Wiped&& other) noexcept
        : items_(std::move(other.items_)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Wiped& operator=(Wiped&& other) noexcept {
        if (this != &other) {
            Wipe();
            items_ = std::move(other.items_);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { Wipe(); }

    T* data() { return items_.get(); }
    const T* data() const { return items_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<T> span() { return {items_.get(), size_}; }
    std::span<const T> span() const { return {items_.get(), size_}; }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }

    // The text, and the same as a C string ("" when there is none).
    std::string_view view() const requires std::same_as<T, char> { return {c_str(), size_}; }
    const T* c_str() const {
        static constexpr T kNone{};
        return items_ ? items_.get() : &kNone;
    }

    // Keeps the first `size` items; the rest is wiped (its memory stays until the buffer goes).
    void Shrink(size_t size) {
        if (size < size_) {
            SecureWipe(items_.get() + size, (size_ - size) * sizeof(T));
            size_ = size;
        }
    }

private:
    void Wipe() noexcept {
        if (items_) {
            SecureWipe(items_.get(), (capacity_ + 1) * sizeof(T));
        }
    }

    std::unique_ptr<T[]> items_;
    size_t size_ = 0;
    size_t capacity_ = 0; // the items there are room for, past which is the zero
};

using WipedBytes = Wiped<uint8_t>;
using WipedText = Wiped<char>;

} // namespace qm
