#include "automation/SecureSession.h"

#include "automation/ErrorCodes.h"
#include "automation/MethodGuard.h"
#include "automation/StoredSettings.h"
#include "crypto/CertLoader.h"
#include "crypto/Credential.h"
#include "crypto/LocalBytes.h"
#include "crypto/SessionKey.h"
#include "external/engine.h"
#include "external/store.h"
#include "platform/ciphers.h"
#include "platform/StringConversion.h"
#include "ui/CertSelectDialog.h"

SecureSession::SecureSession() : SiteGate(this) {}

SecureSession::~SecureSession() = default;

HRESULT SecureSession::Base64Encode(BSTR bstrData, BSTR* pResult) {
    return qm::RunMethod(*this, pResult, [&] {
        qm::RequireLibraries(errorCode, qm::origin::kBase64Encode, qm::Needs::Engine);
        qm::NarrowText data(bstrData);
        if (data.IsEmpty()) {
            qm::Fail(errorCode, qm::code::kBase64EmptyInput);
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
    return AdmitCall();
}

HRESULT SecureSession::EncipherFile(BSTR, BSTR, INT*) {
    return AdmitCall();
}

HRESULT SecureSession::RecoverFile(INT* pResult) {
    if (HRESULT refused = AdmitCall(); refused != S_OK) {
        return refused;
    }
    // The file methods never write a file, so there is never one to recover.
    errorCode = qm::code::kRecoverNoFile;
    if (pResult != nullptr) {
        *pResult = static_cast<INT>(errorCode);
    }
    return S_FALSE;
}

HRESULT SecureSession::GetErrorCode(INT* pResult) {
    return qm::AnswerErrorCode(*this, errorCode, pResult);
}

HRESULT SecureSession::GetErrorString(BSTR* pResult) {
    return qm::AnswerErrorString(*this, errorCode, pResult);
}

HRESULT SecureSession::GenerateEx(BSTR bstrSessAlgo, BSTR bstrDN, BSTR* pResult) {
    return qm::RunMethod(*this, pResult, [&] {
        qm::RequireLibraries(errorCode, qm::origin::kGenerateEx, qm::Needs::Both);
        // The selection dialog runs inside the call, and the object's members are used after it.
        const qm::ComPtr<IUnknown> held = HoldObject();
        qm::NarrowText algorithm(bstrSessAlgo);
        qm::NarrowText dn(bstrDN);

        // The new cipher replaces the old one even when this call fails later on.
        sessionCipher.reset();
        sessionCipher = std::make_unique<CSessionCipher>(algorithm.get());
        if (sessionCipher->PrintStatus() != 0) {
            qm::Fail(errorCode, qm::code::kGenerateWrongAlgorithm);
        }

        CEnvelope envelope;
        qm::LocalBytes certificate;
        if (dn.IsEmpty()) {
            CCertSelectDialog dialog("", qm::kKindRecipient, CCertSelectDialog::kModeCertificates,
                                     DialogOwner());
            if (dialog.DoModal() != IDOK) {
                qm::Fail(errorCode, qm::code::kGenerateNoChoice);
            }
            ByteBuffer chosen = dialog.GetResult();
            qm::Check(errorCode, AssignBytes(certificate.out(), chosen.length, chosen.data),
                      qm::code::kGenerateWrongCertificate);
        } else {
            CCertLoader loader;
            qm::Check(errorCode, loader.Load(dn.get(), qm::kKindRecipient, qm::kLoadByDn, medium),
                      qm::code::kGenerateCannotRead);
            ByteBuffer loaded = loader.GetBytes();
            qm::Check(errorCode, AssignBytes(certificate.out(), loaded.length, loaded.data),
                      qm::code::kGenerateWrongCertificate);
        }

        qm::Check(errorCode, envelope.SetCertificate(certificate->length, certificate->data),
                  qm::code::kGenerateWrongCertificate);
        certificate.reset();

        {
            qm::EngineBlock<uint8_t> random;
            qm::Engine().CV_RandomBytes(qm::kRandomSource, qm::kSessionKeyMaterialBytes,
                                        random.out());
            sessionCipher->SetKeyMaterial(random.get(), qm::kSessionKeyMaterialBytes);
        }

        ByteBuffer keyMaterial = sessionCipher->GetKeyMaterial();
        qm::Check(errorCode, envelope.Seal(keyMaterial.data, keyMaterial.length),
                  qm::code::kGenerateSealFailed);

        qm::WriteSettings(qm::SettingsLocation(SessionOrigin()), sessionCipher->GetAlgorithmId(),
                          sessionCipher->GetKeyMaterialText(), envelope.GetSealedText());
        *pResult = qm::ToAutomationString(envelope.GetSealedText());
        return S_OK;
    });
}

// EncipherEx and DecipherEx share their steps: a cipher rebuilt from the stored settings for the
// one call, then the operation, then its text.
template <typename Operation, typename Result>
HRESULT SecureSession::RunWithStoredKey(BSTR bstrSource, BSTR* pResult, uint32_t origin,
                                        uint32_t settingFailure, uint32_t operationFailure,
                                        Operation operation, Result result) {
    return qm::RunMethod(*this, pResult, [&] {
        qm::RequireLibraries(errorCode, origin, qm::Needs::Both);
        qm::NarrowText source(bstrSource);
        int32_t algorithmId = 0;
        qm::SettingText keyMaterial;
        qm::ReadKeySettings(qm::SettingsLocation(SessionOrigin()), &algorithmId, &keyMaterial);

        CSessionCipher cipher(algorithmId);
        qm::Check(errorCode, cipher.SetKeyMaterialText(keyMaterial.text), settingFailure);
        qm::Check(errorCode, operation(cipher, source.get()), operationFailure);
        *pResult = qm::ToAutomationString(result(cipher));
        return S_OK;
    });
}

HRESULT SecureSession::EncipherEx(BSTR bstrSource, BSTR* pResult) {
    return RunWithStoredKey(
        bstrSource, pResult, qm::origin::kEncipherEx, qm::code::kEncipherKeySetting,
        qm::code::kEncipherFailed,
        [](CSessionCipher& cipher, const char* text) { return cipher.Encipher(text); },
        [](CSessionCipher& cipher) { return cipher.GetCipherText(); });
}

HRESULT SecureSession::DecipherEx(BSTR bstrSource, BSTR* pResult) {
    return RunWithStoredKey(
        bstrSource, pResult, qm::origin::kDecipherEx, qm::code::kDecipherKeySetting,
        qm::code::kDecipherFailed,
        [](CSessionCipher& cipher, const char* text) { return cipher.Decipher(text); },
        [](CSessionCipher& cipher) { return cipher.GetPlainText(); });
}

HRESULT SecureSession::getKEYIV(BSTR* pResult) {
    return qm::RunMethod(*this, pResult, [&] {
        qm::RequireLibraries(errorCode, qm::origin::kGetKeyIv, qm::Needs::Store);
        qm::SettingText sealed;
        qm::ReadSealedSetting(qm::SettingsLocation(SessionOrigin()), &sealed);
        *pResult = qm::ToAutomationString(sealed.text);
        return S_OK;
    });
}
