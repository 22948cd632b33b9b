#include "crypto/CryptoObject.h"

#include "crypto/LocalBytes.h"
#include "external/engine.h"
#include "platform/SecureWipe.h"

#include <climits>
#include <cstdio>
#include <cstring>

void CCryptoObject::DumpChars(const uint8_t* data, int length) {
    for (int i = 0; data != nullptr && i < length; ++i) {
        std::printf("%c", data[i]);
    }
    std::printf("\n");
    std::fflush(stdout);
}

void CCryptoObject::DumpHex(const uint8_t* data, int length) {
    for (int i = 0; data != nullptr && i < length; ++i) {
        std::printf("%02X", data[i]);
    }
    std::printf("\n");
    std::fflush(stdout);
}

int32_t CCryptoObject::PrintStatus() {
    std::printf("%02X\n", static_cast<unsigned>(status));
    std::fflush(stdout);
    return status;
}

CCryptoObject::~CCryptoObject() = default;

int32_t CCryptoObject::DigestBase64(ByteBuffer input, char** text, int32_t digestId) {
    if (text == nullptr) {
        status = qm::kInputMissing;
        return status;
    }
    *text = nullptr;
    qm::EngineBuffer digest;
    status = qm::Engine().CV_Digest(digestId, &input, digest.out());
    if (status != 0) {
        qm::DropFailedOutput(digest);
        return status;
    }
    status = qm::Engine().CV_Base64Encode(&digest.get(), text);
    if (status != 0) {
        *text = nullptr;
    }
    return status;
}

int32_t CCryptoObject::CopyBytes(ByteBuffer* target, const uint8_t* source, int length) {
    if (length <= 0 || source == nullptr) {
        return qm::kNothingToCopy;
    }
    uint8_t* copy = new uint8_t[static_cast<size_t>(length)];
    std::memcpy(copy, source, static_cast<size_t>(length));
    target->length = length;
    target->data = copy;
    return 0;
}

int32_t CCryptoObject::AssignBytes(ByteBuffer* target, int length, const uint8_t* source) {
    return CopyBytes(target, source, length);
}

int32_t CCryptoObject::CopyText(ByteBuffer* target, const char* text) {
    if (text == nullptr) {
        return qm::kNothingToCopy;
    }
    // A text longer than a ByteBuffer can describe is refused rather than cut short.
    size_t length = std::strlen(text);
    if (length > size_t(INT_MAX)) {
        return qm::kNothingToCopy;
    }
    return CopyBytes(target, reinterpret_cast<const uint8_t*>(text), static_cast<int>(length));
}

void CCryptoObject::ReleaseBytes(ByteBuffer* buffer) {
    if (buffer->data != nullptr) {
        qm::SecureWipe(buffer->data, buffer->length > 0 ? static_cast<size_t>(buffer->length) : 0);
        delete[] buffer->data;
    }
    buffer->data = nullptr;
    buffer->length = 0;
}

void CCryptoObject::ReleaseEngineBytes(ByteBuffer* buffer) {
    if (buffer->data != nullptr) {
        qm::Engine().CV_Free(buffer->data);
    }
    buffer->data = nullptr;
    buffer->length = 0;
}

void CCryptoObject::ReleaseEngineText(char** text) {
    if (*text != nullptr) {
        qm::Engine().CV_Free(*text);
    }
    *text = nullptr;
}
