// Base64 and PEM, over the system's own Base64 codec rather than OpenSSL's BIO filters: the engine
// wants exactly one line-less form out, strict checking in (OpenSSL's decoder stops quietly at
// the first foreign character), and decoded bytes written straight into an engine block so
// that no other copy of a decoded key is left behind.
#include "engine/core/internal.h"
#include "platform/Base64.h"

#include <openssl/asn1.h>

#include <array>
#include <cstring>

namespace corvane {
namespace {

using qm::base64::DecodedBound;
using qm::base64::EncodedLength;
using qm::base64::EncodeInto;
using qm::base64::IsSpace;

// Decodes [begin, end) into out (room for DecodedBound of its length). Returns 0 and the decoded
// length, or the engine's code.
int32_t DecodeInto(const char* begin, const char* end, uint8_t* out, size_t& written) {
    switch (qm::base64::DecodeInto(std::string_view(begin, size_t(end - begin)), out, written)) {
    case qm::base64::Decoded::kBytes:
        return 0;
    case qm::base64::Decoded::kEmpty:
        return err::kEmptyInput;
    case qm::base64::Decoded::kMalformed:
        break;
    }
    return err::kBadBase64;
}

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

struct PemType {
    int32_t type;
    std::string_view label;
};
constexpr std::array kPemTypes{
    PemType{kPemCertificate, "CERTIFICATE"},
    PemType{kPemCrl, "X509 CRL"},
};

// Reads "LABEL-----" at `pos` of an encapsulation boundary; npos when malformed. Only the label
// itself is searched for a line end: a text without line ends must not be read to its end at
// every boundary, which made decoding take time in the square of the text's length.
size_t ReadLabel(std::string_view text, size_t pos, std::string_view& label) {
    size_t close = text.find(kDashes, pos);
    if (close == std::string_view::npos) {
        return std::string_view::npos;
    }
    label = text.substr(pos, close - pos);
    if (label.empty() || label.find_first_of("\r\n") != std::string_view::npos) {
        return std::string_view::npos;
    }
    return close + kDashes.size();
}

int32_t PemDecode(std::string_view text, ByteBuffer* output) {
    size_t pos = 0;
    while (pos < text.size() && IsSpace(text[pos])) {
        ++pos;
    }
    if (text.substr(pos, kBegin.size()) != kBegin) {
        return err::kBadPem;
    }
    // The decoded bytes of all blocks are fewer than the text's characters.
    Block block(DecodedBound(text.size()));
    size_t used = 0;
    while ((pos = text.find(kBegin, pos)) != std::string_view::npos) {
        std::string_view label;
        size_t bodyStart = ReadLabel(text, pos + kBegin.size(), label);
        if (bodyStart == std::string_view::npos) {
            return err::kBadPem;
        }
        size_t endLine = text.find(kEnd, bodyStart);
        if (endLine == std::string_view::npos) {
            return err::kBadPem;
        }
        std::string_view endLabel;
        size_t after = ReadLabel(text, endLine + kEnd.size(), endLabel);
        if (after == std::string_view::npos || endLabel != label) {
            return err::kBadPem;
        }
        std::string_view body = text.substr(bodyStart, endLine - bodyStart);
        // Headers ("Proc-Type: 4,ENCRYPTED") mark legacy encrypted PEM, which the engine does
        // not read; passing its ciphertext on as DER would only fail later and less clearly.
        if (body.find(':') != std::string_view::npos) {
            return err::kBadPem;
        }
        size_t written = 0;
        if (DecodeInto(body.data(), body.data() + body.size(), block.data() + used, written) != 0) {
            return err::kBadPem;
        }
        used += written;
        pos = after;
    }
    return block.HandOut(used, output);
}

// True when the bytes are exactly one DER element (tag, definite length, contents).
bool IsOneDerElement(Bytes der) {
    const unsigned char* p = der.data();
    long length = 0;
    int tag = 0;
    int cls = 0;
    int info = ASN1_get_object(&p, &length, &tag, &cls, long(der.size()));
    if ((info & 0x80) != 0 || (info & 0x01) != 0) { // error, or indefinite length
        return false;
    }
    return size_t(p - der.data()) + size_t(length) == der.size();
}

} // namespace

int32_t CV_Base64Encode(const ByteBuffer* input, char** text) noexcept {
    return Guarded([&]() -> int32_t {
        if (text == nullptr) {
            return err::kNullArgument;
        }
        *text = nullptr;
        Bytes in;
        if (int32_t rc = ReadInput(input, true, in); rc != 0) {
            return rc;
        }
        size_t length = EncodedLength(in.size());
        Block block(length + 1);
        EncodeInto(in, reinterpret_cast<char*>(block.data()));
        *text = block.HandOutText(length);
        return 0;
    });
}

int32_t CV_Base64Decode(const char* text, ByteBuffer* output) noexcept {
    return Guarded([&]() -> int32_t {
        if (output == nullptr) {
            return err::kNullArgument;
        }
        *output = ByteBuffer{0, nullptr};
        if (text == nullptr) {
            return err::kNullArgument;
        }
        size_t characters = std::strlen(text);
        Block block(DecodedBound(characters));
        size_t written = 0;
        if (int32_t rc = DecodeInto(text, text + characters, block.data(), written); rc != 0) {
            return rc;
        }
        return block.HandOut(written, output);
    });
}

int32_t CV_PemDecode(const char* text, ByteBuffer* output) noexcept {
    return Guarded([&]() -> int32_t {
        if (output == nullptr) {
            return err::kNullArgument;
        }
        *output = ByteBuffer{0, nullptr};
        if (text == nullptr) {
            return err::kNullArgument;
        }
        return PemDecode(text, output);
    });
}

int32_t CV_PemEncode(const ByteBuffer* der, int32_t type, char** text) noexcept {
    return Guarded([&]() -> int32_t {
        if (text == nullptr) {
            return err::kNullArgument;
        }
        *text = nullptr;
        Bytes in;
        if (int32_t rc = ReadInput(der, false, in); rc != 0) {
            return rc;
        }
        const PemType* pem = nullptr;
        for (const PemType& candidate : kPemTypes) {
            if (candidate.type == type) {
                pem = &candidate;
            }
        }
        if (pem == nullptr) {
            return err::kBadFlags;
        }
        if (!IsOneDerElement(in)) {
            return err::kBadDer;
        }
        constexpr size_t kLine = 64;
        size_t encoded = EncodedLength(in.size());
        std::string_view label = pem->label;
        size_t length = kBegin.size() + label.size() + kDashes.size() + 1 + encoded +
                        (encoded + kLine - 1) / kLine + kEnd.size() + label.size() +
                        kDashes.size() + 1;
        Block block(length + 1);
        char* out = reinterpret_cast<char*>(block.data());
        auto put = [&out](std::string_view s) {
            std::memcpy(out, s.data(), s.size());
            out += s.size();
        };
        put(kBegin);
        put(label);
        put(kDashes);
        put("\n");
        // Encode whole lines of 48 bytes straight into place.
        for (size_t i = 0; i < in.size(); i += kLine / 4 * 3) {
            Bytes chunk = in.subspan(i, std::min(in.size() - i, kLine / 4 * 3));
            EncodeInto(chunk, out);
            out += EncodedLength(chunk.size());
            put("\n");
        }
        put(kEnd);
        put(label);
        put(kDashes);
        put("\n");
        *text = block.HandOutText(length);
        return 0;
    });
}

} // namespace corvane
