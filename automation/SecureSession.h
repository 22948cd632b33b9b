// SecureSession: the scriptable class through which a page enciphers and deciphers text under a
// session key sealed to a recipient's certificate. The enveloping state that EncipherEx, DecipherEx
// and getKEYIV use lives in the stored settings, shared by every object that reaches them; the
// object itself keeps only its error code, the cipher of its last GenerateEx and the medium.
#pragma once

#include "automation/QuillmarkInterfaces.h"
#include "crypto/CryptoObject.h"
#include "site/SiteGate.h"

#include <cstdint>
#include <memory>

class CSessionCipher;

class SecureSession : public ISecureSession, public CCryptoObject, public qm::SiteGate {
public:
    SecureSession();
    ~SecureSession() override;

    // ISecureSession, in slot order.
    HRESULT STDMETHODCALLTYPE Base64Encode(BSTR bstrData, BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE DecipherEx(BSTR bstrSource, BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE DecipherFile(BSTR bstrEncFilename, BSTR bstrFilename, BSTR bstrDN,
                                           BSTR bstrPasswd, INT* pResult) override;
    HRESULT STDMETHODCALLTYPE EncipherEx(BSTR bstrSource, BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE EncipherFile(BSTR bstrFilename, BSTR bstrDN, INT* pResult) override;
    HRESULT STDMETHODCALLTYPE GenerateEx(BSTR bstrSessAlgo, BSTR bstrDN, BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE GetErrorCode(INT* pResult) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE getKEYIV(BSTR* pResult) override;
    HRESULT STDMETHODCALLTYPE RecoverFile(INT* pResult) override;

protected:
    template <typename Operation, typename Result>
    HRESULT RunWithStoredKey(BSTR bstrSource, BSTR* pResult, uint32_t origin,
                             uint32_t settingFailure, uint32_t operationFailure,
                             Operation operation, Result result);

    uint32_t errorCode = 0;
    std::unique_ptr<CSessionCipher> sessionCipher; // the cipher made by the last GenerateEx
    int32_t medium = 0;                            // handed to the certificate loader
};
