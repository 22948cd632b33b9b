#include "crypto/SessionKey.h"

#include "crypto/LocalBytes.h"
#include "external/engine.h"
#include "platform/SecureWipe.h"

#include <cstring>

namespace {

bool IsEmpty(const ByteBuffer& buffer) {
    return buffer.length <= 0 || buffer.data == nullptr;
}
bool IsEmptyText(const char* text) {
    return text == nullptr || text[0] == '\0';
}

} // namespace

CSessionKey::CSessionKey(const char* algorithmName) {
    status = qm::Engine().CV_CipherId(algorithmName != nullptr ? algorithmName : "", &algorithmId);
}

CSessionKey::CSessionKey(int32_t id) : algorithmId(id) {}

CSessionKey::~CSessionKey() {
    ReleaseBytes(&key);
    ReleaseBytes(&iv);
    ReleaseBytes(&keyMaterial);
    ReleaseEngineText(&keyMaterialText);
}

ByteBuffer CSessionKey::GetKeyMaterial() {
    if (IsEmpty(keyMaterial)) {
        status = qm::kPartNotSet;
    }
    return keyMaterial;
}

int32_t CSessionKey::SetKeyMaterial(const uint8_t* bytes, int length) {
    if (status != 0) {
        return status;
    }
    if (bytes == nullptr || length <= 0) {
        return qm::kInputMissing;
    }
    int32_t ivLength = 0;
    int32_t keyLength = 0;
    int32_t ivResult = qm::Engine().CV_IvLength(algorithmId, &ivLength);
    int32_t keyResult = qm::Engine().CV_KeyLength(algorithmId, &keyLength);
    if (ivResult != 0) {
        return ivResult;
    }
    // Without a key length the split would make a key of nothing and report success.
    if (keyResult != 0) {
        return keyResult;
    }
    if (ivLength < 0 || keyLength < 0 || int64_t(keyLength) + ivLength > length) {
        return qm::kInputMissing;
    }

    // The parts are copied aside before the held ones go, so that the bytes may be our own.
    qm::LocalBytes newKey;
    qm::LocalBytes newIv;
    qm::LocalBytes newMaterial;
    CopyBytes(newKey.out(), bytes, keyLength);
    CopyBytes(newIv.out(), bytes + keyLength, ivLength);
    CopyBytes(newMaterial.out(), bytes, keyLength + ivLength);

    ReleaseBytes(&key);
    ReleaseBytes(&iv);
    ReleaseBytes(&keyMaterial);
    newKey.moveTo(&key);
    newIv.moveTo(&iv);
    newMaterial.moveTo(&keyMaterial);
    return 0;
}

int32_t CSessionKey::SetKeyMaterialText(const char* text) {
    if (status != 0) {
        return status;
    }
    if (IsEmptyText(text)) {
        return qm::kPartNotSet;
    }
    qm::EngineBuffer decoded;
    int32_t result = qm::Engine().CV_Base64Decode(text, decoded.out());
    if (result != 0) {
        qm::DropFailedOutput(decoded);
        return result;
    }
    return SetKeyMaterial(decoded->data, decoded->length);
}

const char* CSessionKey::GetKeyMaterialText() {
    if (IsEmpty(keyMaterial)) {
        status = qm::kPartNotSet;
        return nullptr;
    }
    ReleaseEngineText(&keyMaterialText);
    if (qm::Engine().CV_Base64Encode(&keyMaterial, &keyMaterialText) != 0) {
        keyMaterialText = nullptr;
    }
    return keyMaterialText;
}

CSessionCipher::CSessionCipher(const char* algorithmName) : CSessionKey(algorithmName) {}

CSessionCipher::CSessionCipher(int32_t id) : CSessionKey(id) {}

CSessionCipher::~CSessionCipher() {
    ReleaseEngineText(&cipherText);
    ReleasePlainText();
}

void CSessionCipher::ReleasePlainText() {
    if (plainText != nullptr) {
        qm::SecureWipe(plainText, plainTextSize);
        delete[] plainText;
    }
    plainText = nullptr;
    plainTextSize = 0;
}

int32_t CSessionCipher::Encipher(const char* text) {
    if (IsEmpty(key) || IsEmpty(iv)) {
        return qm::kPartNotSet;
    }
    qm::LocalBytes input;
    status = CopyText(input.out(), text);
    if (status < 0) {
        return status;
    }
    qm::EngineBuffer output;
    status = qm::Engine().CV_Encrypt(algorithmId, key.data, iv.data, &input.get(), output.out());
    input.reset();
    if (status < 0) {
        qm::DropFailedOutput(output);
        return status;
    }
    ReleaseEngineText(&cipherText);
    // An encoder failure is reported, not hidden behind a success with no text to hand out.
    int32_t encoded = qm::Engine().CV_Base64Encode(&output.get(), &cipherText);
    if (encoded != 0) {
        cipherText = nullptr;
        status = encoded;
    }
    return status;
}

int32_t CSessionCipher::Decipher(const char* base64Text) {
    if (IsEmptyText(base64Text)) {
        return qm::kInputMissing;
    }
    if (IsEmpty(key) || IsEmpty(iv)) {
        return qm::kPartNotSet;
    }
    qm::EngineBuffer decoded;
    status = qm::Engine().CV_Base64Decode(base64Text, decoded.out());
    if (status < 0) {
        qm::DropFailedOutput(decoded);
        return status;
    }
    qm::EngineBuffer output;
    status = qm::Engine().CV_Decrypt(algorithmId, key.data, iv.data, &decoded.get(), output.out());
    decoded.reset();
    if (status < 0) {
        qm::DropFailedOutput(output);
        return status;
    }
    ReleasePlainText();
    size_t length = output->data != nullptr && output->length > 0 ? size_t(output->length) : 0;
    plainText = new char[length + 1];
    plainTextSize = length + 1;
    if (length > 0) {
        std::memcpy(plainText, output->data, length);
    }
    plainText[length] = '\0';
    return status;
}
