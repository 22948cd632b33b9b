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
    return qm::RunMethod(*this, pResult, [&] {
        qm::NarrowText dn(bstrDN);
        qm::NarrowText caText(bstrCaPubs);
        qm::NarrowText crlText(bstrCRL);
        qm::NarrowText arlText(bstrARL);
        HRESULT outcome =
            qm::RunSteps([&] { return Validate(dn, caText, crlText, arlText, nMedia); });
        // The integer result and the stored code always agree when the call returns.
        *pResult = static_cast<INT>(errorCode);
        return outcome;
    });
}

// The checks in their order; S_OK when the validation ran (valid or not), a failed step when it
// could not run.
HRESULT DSSession::Validate(const qm::NarrowText& dn, const qm::NarrowText& caText,
                            const qm::NarrowText& crlText, const qm::NarrowText& arlText,
                            int32_t medium) {
    qm::RequireLibraries(errorCode, qm::origin::kGeneralValidation, qm::Needs::Both);
    if (dn.IsEmpty()) {
        qm::Fail(errorCode, qm::code::kValidateEmptyInput);
    }
    if (!qm::IsValidMedium(medium)) {
        qm::Fail(errorCode, qm::code::kValidateNoMedia);
    }
    CCertValidator validator;
    {
        qm::StoreBlock certificate;
        qm::Check(errorCode,
                  qm::Store().LD_GetMyCert(dn.get(), qm::kKindOwn, medium, siteCode,
                                           qm::kStorePassword, &certificate.buffer),
                  qm::code::kValidateCannotRead);
        qm::Check(errorCode,
                  validator.SetCertificate(certificate.buffer.length, certificate.buffer.data),
                  qm::code::kValidateWrongCertificate);
    }
    qm::Check(errorCode, validator.SetCaCertificates(caText.get()), qm::code::kValidateInvalidCa);
    qm::Check(errorCode, validator.SetCrl(crlText.get()), qm::code::kValidateInvalidCrl);
    qm::Check(errorCode, validator.SetArl(arlText.get()), qm::code::kValidateInvalidArl);
    // A certificate that does not validate is the validation's answer, not a failure to run it.
    errorCode = qm::AsCode(validator.Validate());
    if (errorCode != 0) {
        errorCode = qm::code::kValidateInvalidCertificate;
    }
    return S_OK;
}

HRESULT DSSession::GetErrorCode(INT* pResult) {
    return qm::AnswerErrorCode(*this, errorCode, pResult);
}

HRESULT DSSession::GetErrorString(BSTR* pResult) {
    return qm::AnswerErrorString(*this, errorCode, pResult);
}

// Revocation lists are supplied by the page; fetching them is not this library's business.
HRESULT DSSession::RetrieveCRL(BSTR, BSTR*) {
    return AdmitCall();
}

HRESULT DSSession::RetrieveCRLFromLDAP(BSTR, INT, BSTR, BSTR*) {
    return AdmitCall();
}
