#include "automation/Veyra.h"

#include "automation/ErrorCodes.h"
#include "automation/MethodGuard.h"
#include "automation/StringConversion.h"

Veyra::Veyra() = default;

Veyra::~Veyra() = default;

HRESULT Veyra::GetErrorCode(INT* pResult) {
    return qm::ReportErrorCode(errorCode, pResult);
}

HRESULT Veyra::GetErrorString(BSTR* pResult) {
    return qm::Guarded([&] { return qm::ReportErrorString(errorCode, pResult); });
}

HRESULT Veyra::GetCertNum(BSTR bstrID, BSTR*) {
    // Kept for pages that call it; it counts nothing and leaves its result as the caller gave it.
    return qm::Guarded([&] {
        qm::NarrowText id(bstrID);
        return S_OK;
    });
}

HRESULT Veyra::getDNList(BSTR, INT, INT, BSTR* pResult) {
    if (pResult != nullptr) {
        *pResult = nullptr;
    }
    return S_FALSE;
}

HRESULT Veyra::getCert(BSTR, BSTR, BSTR* pResult) {
    if (pResult != nullptr) {
        *pResult = nullptr;
    }
    return S_FALSE;
}
