// Veyra: the certificate directory. It lists the DNs that the certificate store holds on a
// medium, optionally only those of one user identifier, and hands out a certificate as PEM text
// once the caller has proved the password of its private key.
#pragma once

#include "automation/QuillmarkInterfaces.h"
#include "crypto/CryptoObject.h"
#include "site/SiteGate.h"

#include <cstdint>

class Veyra : public IVeyra, public CCryptoObject, public qm::SiteGate {
public:
    Veyra();
    ~Veyra() override;

    // IVeyra, in slot order.
    HRESULT STDMETHODCALLTYPE GetErrorCode(INT* pResult) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE GetCertNum(BSTR bstrID, BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE getDNList(BSTR bstrID, INT nMedia, INT nSiteCode,
                                        BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE getCert(BSTR bstrDN, BSTR bstrPasswd, BSTR* pResult) override;

protected:
    int32_t media = 0; // written by every getDNList, read by getCert
    uint32_t errorCode = 0;
};
