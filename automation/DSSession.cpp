#include "automation/DSSession.h"

#include "automation/ErrorCodes.h"
#include "automation/MethodGuard.h"
#include "automation/StringConversion.h"
#include "crypto/CertValidator.h"
#include "crypto/CryptoObject.h"
#include "external/store.h"

#include <memory>

DSSession::DSSession() = default;

DSSession::~DSSession() = default;

HRESULT DSSession::GeneralValidation(BSTR, BSTR, BSTR, BSTR, INT, INT*) {
    return S_FALSE;
}

HRESULT DSSession::GetErrorCode(INT* pResult) {
    return qm::ReportErrorCode(errorCode, pResult);
}

HRESULT DSSession::GetErrorString(BSTR* pResult) {
    return qm::Guarded([&] { return qm::ReportErrorString(errorCode, pResult); });
}

// Revocation lists are supplied by the page; fetching them is not this library's business.
HRESULT DSSession::RetrieveCRL(BSTR, BSTR*) {
    return S_OK;
}

HRESULT DSSession::RetrieveCRLFromLDAP(BSTR, INT, BSTR, BSTR*) {
    return S_OK;
}
