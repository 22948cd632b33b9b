// Base64 as the whole system writes and reads it: the standard alphabet with padding and no line
// breaks out; in, white space is skipped, padding is required and may only close the text, and
// any other character refuses the whole text (a decoder that stopped quietly at the first foreign
// character would read half a text as all of it). The engine decodes straight into its own
// blocks, so the codec works on the caller's memory; the owning forms serve the tools and tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::base64 {

namespace detail {

inline constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr int8_t kInvalid = -1;
inline constexpr int8_t kSpace = -2;
inline constexpr int8_t kPad = -3;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
    std::array<int8_t, 256> table{};
    for (int8_t& v : table) {
        v = kInvalid;
    }
    for (int i = 0; i < 64; ++i) {
        table[uint8_t(kAlphabet[i])] = int8_t(i);
    }
    for (char c : {' ', '\t', '\r', '\n', '\v', '\f'}) {
        table[uint8_t(c)] = kSpace;
    }
    table[uint8_t('=')] = kPad;
    return table;
}

inline constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

} // namespace detail

// Whether Base64 skips the character (the white space between lines).
inline bool IsSpace(char c) {
    return detail::kDecode[uint8_t(c)] == detail::kSpace;
}

// The characters that `bytes` bytes encode to.
constexpr size_t EncodedLength(size_t bytes) {
    return (bytes + 2) / 3 * 4;
}

// Room enough for the bytes that `characters` characters decode to.
constexpr size_t DecodedBound(size_t characters) {
    return characters / 4 * 3 + 3;
}

// Writes EncodedLength(in.size()) characters to `out` (no terminator).
inline void EncodeInto(std::span<const uint8_t> in, char* out) {
    using detail::kAlphabet;
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
    if (size_t rest = in.size() - i; rest > 0) {
        uint32_t v = uint32_t(in[i]) << 16 | (rest == 2 ? uint32_t(in[i + 1]) << 8 : 0);
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
}

enum class Decoded { kBytes, kEmpty, kMalformed };

// Decodes `text` into `out` (room for DecodedBound(text.size()) bytes) and sets `written`.
// kEmpty for a text of white space alone, kMalformed for anything that is not Base64 whole.
inline Decoded DecodeInto(std::string_view text, uint8_t* out, size_t& written) {
    written = 0;
    uint32_t quad = 0;
    int inQuad = 0; // symbols of the current group of four, pads included
    int pads = 0;
    size_t symbols = 0;
    for (char c : text) {
        int8_t v = detail::kDecode[uint8_t(c)];
        if (v == detail::kSpace) {
            continue;
        }
        if (v == detail::kInvalid) {
            return Decoded::kMalformed;
        }
        ++symbols;
        if (v == detail::kPad) {
            // "xx==" or "xxx=": a pad needs at least two symbols before it in its group.
            if (inQuad < 2) {
                return Decoded::kMalformed;
            }
            ++pads;
            v = 0;
        } else if (pads > 0) {
            return Decoded::kMalformed; // data after padding
        }
        quad = quad << 6 | uint32_t(v);
        if (++inQuad == 4) {
            out[written++] = uint8_t(quad >> 16);
            if (pads < 2) {
                out[written++] = uint8_t(quad >> 8);
            }
            if (pads < 1) {
                out[written++] = uint8_t(quad);
            }
            quad = 0;
            inQuad = 0;
        }
    }
    if (symbols == 0) {
        return Decoded::kEmpty;
    }
    return inQuad == 0 ? Decoded::kBytes : Decoded::kMalformed; // cut off, or padding missing
}

inline std::string Encode(std::span<const uint8_t> bytes) {
    std::string text(EncodedLength(bytes.size()), '\0');
    EncodeInto(bytes, text.data());
    return text;
}

// The bytes, or nothing for a text that is empty or not Base64.
inline std::optional<std::vector<uint8_t>> Decode(std::string_view text) {
    std::vector<uint8_t> bytes(DecodedBound(text.size()));
    size_t written = 0;
    if (DecodeInto(text, bytes.data(), written) != Decoded::kBytes) {
        return std::nullopt;
    }
    bytes.resize(written);
    return bytes;
}

} // namespace qm::base64
