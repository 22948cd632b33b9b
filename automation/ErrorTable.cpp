#include "automation/ErrorCodes.h"

#include "platform/StringConversion.h"

#include <cstring>
#include <iterator>
#include <new>

namespace qm {

const char kMessageTable[kMessageCount][kMessageFieldSize] = {
    "Success",
    "Wrong Algorithm",
    "Can not read the Private Key",
    "Wrong Password of Private Key",
    "Digital Signing Failure",
    "Can not read the Certificate",
    "Wrong Certificate",
    "Sign Validating Failure",
    "No Certificate",
    "Public Key Encrypting Failure",
    "Private Key Decrypting Failure",
    "Symmetric Key Setting Failure",
    "Symmetric Key Encrypting Failure",
    "Symmetric Key Decrypting Failure",
    "Empty Data Input",
    "Invalid CA Certificate",
    "Invalid CRL",
    "Invalid ARL",
    "No Media Choice",
    "Invalid Certificate",
    "No Certificate Choice",
    "Wrong Private Key",
    "No Private Key Choice",
    "MAC value Generating Failure",
    "MAC value Validating Failure",
    "Hash value Generating Failure",
    "Certificate Retrieving Failure",
    "Wrong Data",
    "CRL Retrieving Failure",
    "File Encrypting Failure",
    "File Decrypting Failure",
    "There is no installed USB Key Driver",
    "There is no Certificate matching the UID",
    "There is no such File",
    "Temp File Deleting Failure",
    "Can not use the Certificate in this PC",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "", // 36-47: kept empty so the indexes hold
    "No Session",
    "Session Manager Loading Failure",
};

const char* const kLibraryMessages[2] = {
    "Crypto Library Loading Failure",
    "Certificate Store Loading Failure",
};

ErrorText::~ErrorText() {
    delete[] text_;
}

const char* ErrorText::GetText() {
    delete[] text_;
    text_ = nullptr;
    uint32_t index = MessageIndex(code_);
    // Past the table: the two libraries' loading failures, and a raw crypto status left in a
    // code (a negative value), which has no message.
    const char* entry = index < kMessageCount ? kMessageTable[index]
                        : index - kMessageCount < std::size(kLibraryMessages)
                            ? kLibraryMessages[index - kMessageCount]
                            : "";
    size_t length = strnlen(entry, kMessageFieldSize);
    text_ = new char[length + 1];
    std::memcpy(text_, entry, length);
    text_[length] = '\0';
    return text_;
}

HRESULT ReportErrorCode(uint32_t code, INT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = static_cast<INT>(MessageIndex(code));
    return S_OK;
}

HRESULT ReportErrorString(uint32_t code, BSTR* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    ErrorText text;
    text.SetCode(code);
    BSTR converted = ToAutomationString(text.GetText());
    if (converted == nullptr) {
        return E_OUTOFMEMORY;
    }
    *result = converted;
    return S_OK;
}

} // namespace qm
