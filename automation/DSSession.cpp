#include "automation/DSSession.h"

#include "automation/ErrorCodes.h"
#include "automation/MethodGuard.h"
#include "crypto/CertValidator.h"
#include "crypto/CryptoObject.h"
#include "external/store.h"
#include "platform/StringConversion.h"

#include <memory>

DSSession::DSSession() : SiteGate(this) {}

DSSession::~DSSession() = default;

HRESULT DSSession::GeneralValidation(BSTR bstrDN, BSTR bstrCaPubs, BSTR bstrCRL, BSTR bstrARL,
                                     INT nMedia, INT* pResult) {
    if (HRESULT refused = AdmitCall(); refused != S_OK) {
        return refused;
    }
    if (pResult == nullptr) {
        return E_POINTER;
    }
    return qm::Guarded([&]() -> HRESULT {
        qm::NarrowText dn(bstrDN);
        qm::NarrowText caText(bstrCaPubs);
        qm::NarrowText crlText(bstrCRL);
        qm::NarrowText arlText(bstrARL);
        *pResult = 0;
        HRESULT outcome = Validate(dn, caText, crlText, arlText, nMedia);
        // The integer result and the stored code always agree when the call returns.
        *pResult = static_cast<INT>(errorCode);
        return outcome;
    });
}

// The checks in their order; S_OK when the validation ran (valid or not), S_FALSE when it could
// not run.
HRESULT DSSession::Validate(const qm::NarrowText& dn, const qm::NarrowText& caText,
                            const qm::NarrowText& crlText, const qm::NarrowText& arlText,
                            int32_t medium) {
    if (uint32_t missing = qm::MissingLibrary(qm::origin::kGeneralValidation, qm::Needs::Both)) {
        errorCode = missing;
        return S_FALSE;
    }
    if (dn.IsEmpty()) {
        errorCode = qm::code::kValidateEmptyInput;
        return S_FALSE;
    }
    if (!qm::IsValidMedium(medium)) {
        errorCode = qm::code::kValidateNoMedia;
        return S_FALSE;
    }
    CCertValidator validator;
    {
        qm::StoreBlock certificate;
        errorCode = qm::AsCode(qm::Store().LD_GetMyCert(dn.get(), qm::kKindOwn, medium, siteCode,
                                                        qm::kStorePassword, &certificate.buffer));
        if (errorCode != 0) {
            errorCode = qm::code::kValidateCannotRead;
            return S_FALSE;
        }
        errorCode = qm::AsCode(
            validator.SetCertificate(certificate.buffer.length, certificate.buffer.data));
    }
    if (errorCode != 0) {
        errorCode = qm::code::kValidateWrongCertificate;
        return S_FALSE;
    }
    errorCode = qm::AsCode(validator.SetCaCertificates(caText.get()));
    if (errorCode != 0) {
        errorCode = qm::code::kValidateInvalidCa;
        return S_FALSE;
    }
    errorCode = qm::AsCode(validator.SetCrl(crlText.get()));
    if (errorCode != 0) {
        errorCode = qm::code::kValidateInvalidCrl;
        return S_FALSE;
    }
    errorCode = qm::AsCode(validator.SetArl(arlText.get()));
    if (errorCode != 0) {
        errorCode = qm::code::kValidateInvalidArl;
        return S_FALSE;
    }
    errorCode = qm::AsCode(validator.Validate());
    if (errorCode != 0) {
        errorCode = qm::code::kValidateInvalidCertificate;
    }
    return S_OK;
}

HRESULT DSSession::GetErrorCode(INT* pResult) {
    if (HRESULT refused = AdmitCall(); refused != S_OK) {
        return refused;
    }
    return qm::ReportErrorCode(errorCode, pResult);
}

HRESULT DSSession::GetErrorString(BSTR* pResult) {
    if (HRESULT refused = AdmitCall(pResult); refused != S_OK) {
        return refused;
    }
    return qm::Guarded([&] { return qm::ReportErrorString(errorCode, pResult); });
}

// Revocation lists are supplied by the page; fetching them is not this library's business.
HRESULT DSSession::RetrieveCRL(BSTR, BSTR*) {
    return AdmitCall();
}

HRESULT DSSession::RetrieveCRLFromLDAP(BSTR, INT, BSTR, BSTR*) {
    return AdmitCall();
}
