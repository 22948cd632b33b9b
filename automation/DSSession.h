// DSSession: validates the user's own certificate from the store against CA certificates and,
// optionally, a CRL and an ARL that the page supplies as PEM text.
#pragma once

#include "automation/QuillmarkInterfaces.h"
#include "crypto/CryptoObject.h"
#include "site/SiteGate.h"

#include <cstdint>

namespace qm {
class NarrowText;
}

class DSSession : public IDSSession, public CCryptoObject, public qm::SiteGate {
public:
    DSSession();
    ~DSSession() override;

    // IDSSession, in slot order.
    HRESULT STDMETHODCALLTYPE GeneralValidation(BSTR bstrDN, BSTR bstrCaPubs, BSTR bstrCRL,
                                                BSTR bstrARL, INT nMedia, INT* pResult) override;
    HRESULT STDMETHODCALLTYPE GetErrorCode(INT* pResult) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE RetrieveCRL(BSTR bstrCert, BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE RetrieveCRLFromLDAP(BSTR bstrDSIP, INT nPort, BSTR bstrCRLDN,
                                                  BSTR* pResult) override;

protected:
    HRESULT Validate(const qm::NarrowText& dn, const qm::NarrowText& caText,
                     const qm::NarrowText& crlText, const qm::NarrowText& arlText, int32_t medium);

    int32_t siteCode = 700; // handed to the store when the certificate is read
    uint32_t errorCode = 0;
};
