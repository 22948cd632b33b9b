// The error model of the three automation classes. Each object keeps the outcome of its
// operations as one 32-bit code: bits 31-24 are 0xF4, bits 23-12 name the class and operation that
// stored it, bits 11-0 index the message table. Failures never reach a script as automation
// errors: methods return S_OK or S_FALSE, and the page asks GetErrorCode and GetErrorString.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <cstdint>

namespace qm {

inline constexpr int kMessageCount = 50;
inline constexpr int kMessageFieldSize = 255;

// 50 fixed fields of 255 bytes: NUL-terminated ASCII text, the rest of the field zero bytes.
extern const char kMessageTable[kMessageCount][kMessageFieldSize];

// Past the table: a call that needs a library which could not be loaded (a control installed
// without its engine or store, or with a damaged one). Every index of the table keeps its
// message; these two follow it.
inline constexpr uint32_t kEngineMissingIndex = 50; // "Crypto Library Loading Failure"
inline constexpr uint32_t kStoreMissingIndex = 51;  // "Certificate Store Loading Failure"
extern const char* const kLibraryMessages[2];

inline constexpr uint32_t MessageIndex(uint32_t code) {
    return code & 0xFFFu;
}

// A crypto object's or the store's result, stored as it is (0, or a negative status) until a
// method replaces it with its own constant.
inline constexpr uint32_t AsCode(int32_t result) {
    return static_cast<uint32_t>(result);
}

// Where a code was stored: the class (first hex digit) and the operation.
namespace origin {
inline constexpr uint32_t kGenerateEx = 0x10C;
inline constexpr uint32_t kEncipherEx = 0x10D;
inline constexpr uint32_t kDecipherEx = 0x10E;
inline constexpr uint32_t kBase64Encode = 0x119;
inline constexpr uint32_t kGetKeyIv = 0x11B;
inline constexpr uint32_t kVeyra = 0x201;
inline constexpr uint32_t kGeneralValidation = 0x308;
} // namespace origin

inline constexpr uint32_t MakeCode(uint32_t origin, uint32_t index) {
    return 0xF4000000u | origin << 12 | index;
}

namespace code {
// SecureSession
inline constexpr uint32_t kBase64EmptyInput = 0xF411900E;
inline constexpr uint32_t kGenerateWrongAlgorithm = 0xF410C001;
inline constexpr uint32_t kGenerateNoChoice = 0xF410C014;
inline constexpr uint32_t kGenerateCannotRead = 0xF410C005;
inline constexpr uint32_t kGenerateWrongCertificate = 0xF410C006;
inline constexpr uint32_t kGenerateSealFailed = 0xF410C009;
inline constexpr uint32_t kEncipherKeySetting = 0xF410D00B;
inline constexpr uint32_t kEncipherFailed = 0xF410D00C;
inline constexpr uint32_t kDecipherKeySetting = 0xF410E00B;
inline constexpr uint32_t kDecipherFailed = 0xF410E00D;
inline constexpr uint32_t kRecoverNoFile = 0xF411A021;
// Veyra
inline constexpr uint32_t kVeyraNoMedia = 0xF4201012;
inline constexpr uint32_t kVeyraNoCertificate = 0xF4201008;
inline constexpr uint32_t kVeyraNoMatch = 0xF4201020;
inline constexpr uint32_t kVeyraCannotReadCertificate = 0xF4201005;
inline constexpr uint32_t kVeyraCannotReadKey = 0xF4201002;
inline constexpr uint32_t kVeyraWrongPassword = 0xF4201003;
// DSSession
inline constexpr uint32_t kValidateEmptyInput = 0xF430800E;
inline constexpr uint32_t kValidateNoMedia = 0xF4308012;
inline constexpr uint32_t kValidateCannotRead = 0xF4308005;
inline constexpr uint32_t kValidateWrongCertificate = 0xF4308006;
inline constexpr uint32_t kValidateInvalidCa = 0xF430800F;
inline constexpr uint32_t kValidateInvalidCrl = 0xF4308010;
inline constexpr uint32_t kValidateInvalidArl = 0xF4308011;
inline constexpr uint32_t kValidateInvalidCertificate = 0xF4308013;
} // namespace code

// The short-lived message object behind GetErrorString: an owned copy of one table entry.
class ErrorText {
public:
    ErrorText() = default;
    ErrorText(const ErrorText&) = delete;
    ErrorText& operator=(const ErrorText&) = delete;
    virtual ~ErrorText();

    void SetCode(uint32_t code) { code_ = code; }
    // The entry selected by the code's low 12 bits; an index past the table gives an empty text.
    const char* GetText();

private:
    char* text_ = nullptr;
    uint32_t code_ = 0;
};

// The two query methods, identical in the three classes.
HRESULT ReportErrorCode(uint32_t code, INT* result);
HRESULT ReportErrorString(uint32_t code, BSTR* result);

} // namespace qm
