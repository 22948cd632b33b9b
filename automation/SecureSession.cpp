#include "automation/SecureSession.h"

#include "automation/ErrorCodes.h"
#include "automation/MethodGuard.h"
#include "automation/StringConversion.h"
#include "crypto/SessionKey.h"
#include "external/engine.h"

SecureSession::SecureSession() = default;

SecureSession::~SecureSession() = default;

HRESULT SecureSession::Base64Encode(BSTR bstrData, BSTR* pResult) {
    if (pResult == nullptr) {
        return E_POINTER;
    }
    *pResult = nullptr;
    return qm::Guarded([&]() -> HRESULT {
        qm::NarrowText data(bstrData);
        if (data.IsEmpty()) {
            errorCode = qm::code::kBase64EmptyInput;
            return S_FALSE;
        }
        ByteBuffer bytes{0, nullptr};
        CopyText(&bytes, data.get());
        qm::EngineBlock<char> text;
        qm::Engine().CV_Base64Encode(&bytes, text.out());
        ReleaseBytes(&bytes);
        *pResult = qm::ToAutomationString(text.get());
        return S_OK;
    });
}

HRESULT SecureSession::DecipherFile(BSTR, BSTR, BSTR, BSTR, INT*) {
    // There is no file work to do: the call succeeds and changes nothing.
    return S_OK;
}

HRESULT SecureSession::EncipherFile(BSTR, BSTR, INT*) {
    return S_OK;
}

HRESULT SecureSession::RecoverFile(INT* pResult) {
    // The file methods never write a file, so there is never one to recover.
    errorCode = qm::code::kRecoverNoFile;
    if (pResult != nullptr) {
        *pResult = static_cast<INT>(errorCode);
    }
    return S_FALSE;
}

HRESULT SecureSession::GetErrorCode(INT* pResult) {
    return qm::ReportErrorCode(errorCode, pResult);
}

HRESULT SecureSession::GetErrorString(BSTR* pResult) {
    return qm::Guarded([&] { return qm::ReportErrorString(errorCode, pResult); });
}

HRESULT SecureSession::GenerateEx(BSTR, BSTR, BSTR* pResult) {
    if (pResult != nullptr) {
        *pResult = nullptr;
    }
    return S_FALSE;
}

HRESULT SecureSession::EncipherEx(BSTR, BSTR* pResult) {
    if (pResult != nullptr) {
        *pResult = nullptr;
    }
    return S_FALSE;
}

HRESULT SecureSession::DecipherEx(BSTR, BSTR* pResult) {
    if (pResult != nullptr) {
        *pResult = nullptr;
    }
    return S_FALSE;
}

HRESULT SecureSession::getKEYIV(BSTR* pResult) {
    if (pResult != nullptr) {
        *pResult = nullptr;
    }
    return S_FALSE;
}
