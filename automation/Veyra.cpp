#include "automation/Veyra.h"

#include "automation/DnList.h"
#include "automation/ErrorCodes.h"
#include "automation/MethodGuard.h"
#include "crypto/CertLoader.h"
#include "crypto/Credential.h"
#include "crypto/LocalBytes.h"
#include "external/engine.h"
#include "external/store.h"
#include "platform/StringConversion.h"

#include <memory>

Veyra::Veyra() : SiteGate(this) {}

Veyra::~Veyra() = default;

HRESULT Veyra::GetErrorCode(INT* pResult) {
    if (HRESULT refused = AdmitCall(); refused != S_OK) {
        return refused;
    }
    return qm::ReportErrorCode(errorCode, pResult);
}

HRESULT Veyra::GetErrorString(BSTR* pResult) {
    if (HRESULT refused = AdmitCall(pResult); refused != S_OK) {
        return refused;
    }
    return qm::Guarded([&] { return qm::ReportErrorString(errorCode, pResult); });
}

HRESULT Veyra::GetCertNum(BSTR bstrID, BSTR*) {
    // Kept for pages that call it; it counts nothing and leaves its result as the caller gave it.
    if (HRESULT refused = AdmitCall(); refused != S_OK) {
        return refused;
    }
    return qm::Guarded([&] {
        qm::NarrowText id(bstrID);
        return S_OK;
    });
}

namespace {

bool IsAnsiLeadByte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != FALSE;
}

} // namespace

HRESULT Veyra::getDNList(BSTR bstrID, INT nMedia, INT nSiteCode, BSTR* pResult) {
    if (HRESULT refused = AdmitCall(pResult); refused != S_OK) {
        return refused;
    }
    if (pResult == nullptr) {
        return E_POINTER;
    }
    return qm::Guarded([&]() -> HRESULT {
        qm::NarrowText id(bstrID);
        media = nMedia; // kept even when out of range: getCert then refuses it too
        *pResult = nullptr;
        if (uint32_t missing = qm::MissingLibrary(qm::origin::kVeyra, qm::Needs::Store)) {
            errorCode = missing;
            return S_FALSE;
        }
        if (!qm::IsValidMedium(nMedia)) {
            errorCode = qm::code::kVeyraNoMedia;
            return S_FALSE;
        }
        auto area = std::make_unique<char[]>(qm::kDnAreaSize);
        int32_t count = qm::Store().LD_GetKeyDN(qm::kKindOwn, area.get(), nMedia, nSiteCode);
        if (count <= 0) {
            errorCode = qm::code::kVeyraNoCertificate;
            return S_FALSE;
        }
        std::string list = qm::JoinDnList(area.get(), count, id.get(), IsAnsiLeadByte);
        if (list.empty()) {
            errorCode = qm::code::kVeyraNoMatch;
            return S_FALSE;
        }
        *pResult = qm::ToAutomationString(list.c_str());
        return S_OK;
    });
}

HRESULT Veyra::getCert(BSTR bstrDN, BSTR bstrPasswd, BSTR* pResult) {
    if (HRESULT refused = AdmitCall(pResult); refused != S_OK) {
        return refused;
    }
    if (pResult == nullptr) {
        return E_POINTER;
    }
    return qm::Guarded([&]() -> HRESULT {
        qm::NarrowText dn(bstrDN);
        qm::NarrowText password(bstrPasswd);
        *pResult = nullptr;
        if (uint32_t missing = qm::MissingLibrary(qm::origin::kVeyra, qm::Needs::Both)) {
            errorCode = missing;
            return S_FALSE;
        }

        // Serves only to prove the password by unlocking the private key.
        CDigestCredential credential("SHA1");
        if (!qm::IsValidMedium(media)) {
            errorCode = qm::code::kVeyraNoMedia;
            return S_FALSE;
        }

        CCertLoader loader;
        errorCode =
            qm::AsCode(loader.Load(dn.OrEmpty(), qm::kKindOwn, qm::kLoadOwnCertificate, media));
        if (errorCode != 0) {
            errorCode = qm::code::kVeyraCannotReadCertificate;
            return S_FALSE;
        }
        qm::LocalBytes certificate;
        ByteBuffer loaded = loader.GetBytes();
        errorCode = qm::AsCode(AssignBytes(certificate.out(), loaded.length, loaded.data));
        if (errorCode != 0) {
            // The store reported success but delivered nothing: its -2 stays in the code.
            return S_FALSE;
        }
        // The certificate and the key come from two look-ups, and a planted medium may pair the
        // victim's certificate with a key whose password its planter knows. Holding the
        // certificate, the credential unlocks only the certificate's own key; without it, any.
        if (credential.SetCertificate(certificate.get().length, certificate.get().data) != 0) {
            errorCode = qm::code::kVeyraCannotReadCertificate;
            return S_FALSE;
        }

        int32_t unlocked = 0;
        {
            qm::StoreBlock key;
            errorCode = qm::AsCode(qm::Store().LD_GetKey(dn.OrEmpty(), qm::kKindOwn, media,
                                                         qm::kDefaultSiteCode, qm::kStorePassword,
                                                         &key.buffer));
            if (errorCode != 0) {
                errorCode = qm::code::kVeyraCannotReadKey;
                return S_FALSE;
            }
            unlocked = credential.UnlockPrivateKey(key.buffer, password.OrEmpty());
        }
        errorCode = qm::AsCode(unlocked);
        if (unlocked == qm::kEngineKeyNotForCertificate) {
            // The key opened, but it is not this certificate's: the store has no key for the DN.
            errorCode = qm::code::kVeyraCannotReadKey;
            return S_FALSE;
        }
        if (unlocked != 0) {
            errorCode = qm::code::kVeyraWrongPassword;
            return S_FALSE;
        }

        qm::EngineBlock<char> pem;
        qm::Engine().CV_PemEncode(&certificate.get(), qm::kPemCertificate, pem.out());
        certificate.reset();
        *pResult = qm::ToAutomationString(pem.get());
        return S_OK;
    });
}
