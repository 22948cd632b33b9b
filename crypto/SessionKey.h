// Session key and session cipher: the material of one symmetric session (the engine's algorithm
// id, the key, the IV, and the key followed by the IV as one block: the key material), and the
// cipher that turns narrow text into Base64 ciphertext and back with it.
#pragma once

#include "crypto/CryptoObject.h"

#include <cstddef>

class CSessionKey : public CCryptoObject {
public:
    // By name: the engine is asked for the id, and its answer is recorded in the status.
    explicit CSessionKey(const char* algorithmName);
    // By id: the engine is not asked; the status starts at 0.
    explicit CSessionKey(int32_t algorithmId);
    ~CSessionKey() override;

    virtual ByteBuffer GetKeyMaterial();                              // slot 5
    virtual int32_t SetKeyMaterial(const uint8_t* bytes, int length); // slot 6
    virtual int32_t SetKeyMaterialText(const char* text);             // slot 7

    int32_t GetAlgorithmId() const { return algorithmId; }
    const char* GetKeyMaterialText();

    const ByteBuffer& GetKey() const { return key; }
    const ByteBuffer& GetIv() const { return iv; }

protected:
    int32_t algorithmId = 0;
    ByteBuffer key{0, nullptr};         // general allocator
    ByteBuffer iv{0, nullptr};          // general allocator
    ByteBuffer keyMaterial{0, nullptr}; // key then IV (general allocator)
    char* keyMaterialText = nullptr;    // Base64 of keyMaterial, made on request (CV_Free)
};

class CSessionCipher : public CSessionKey {
public:
    explicit CSessionCipher(const char* algorithmName);
    explicit CSessionCipher(int32_t algorithmId);
    ~CSessionCipher() override;

    int32_t Encipher(const char* text);
    const char* GetCipherText() const { return cipherText; }
    int32_t Decipher(const char* base64Text);
    const char* GetPlainText() const { return plainText; }

protected:
    char* cipherText = nullptr; // Base64 of the last Encipher result (CV_Free)
    char* plainText = nullptr;  // NUL-terminated result of the last Decipher (general allocator)

private:
    // The allocated size of plainText: deciphered data may hold a zero byte before its end, and
    // all of it is wiped on release.
    size_t plainTextSize = 0;
    void ReleasePlainText();
};
