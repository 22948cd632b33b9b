// The engine's text decoders: Base64 and PEM, fed any bytes as text. Whatever decodes must encode
// back to the same bytes.
#include "engine/core/corvane.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();

    ByteBuffer decoded{0, nullptr};
    if (corvane::CV_Base64Decode(text.c_str(), &decoded) == 0) {
        char* again = nullptr;
        if (corvane::CV_Base64Encode(&decoded, &again) == 0) {
            ByteBuffer twice{0, nullptr};
            if (corvane::CV_Base64Decode(again, &twice) != 0 || twice.length != decoded.length ||
                (decoded.length > 0 &&
                 std::memcmp(twice.data, decoded.data, size_t(decoded.length)) != 0)) {
                std::abort();
            }
            corvane::CV_Free(twice.data);
            corvane::CV_Free(again);
        }
        corvane::CV_Free(decoded.data);
    }

    ByteBuffer der{0, nullptr};
    if (corvane::CV_PemDecode(text.c_str(), &der) == 0) {
        char* pem = nullptr;
        if (corvane::CV_PemEncode(&der, 1, &pem) == 0) {
            corvane::CV_Free(pem);
        }
        corvane::CV_Free(der.data);
    }
    return 0;
}
