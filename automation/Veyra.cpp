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
    return qm::AnswerErrorCode(*this, errorCode, pResult);
}

HRESULT Veyra::GetErrorString(BSTR* pResult) {
    return qm::AnswerErrorString(*this, errorCode, pResult);
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
    return qm::RunMethod(*this, pResult, [&] {
        qm::NarrowText id(bstrID);
        media = nMedia; // kept even when out of range: getCert then refuses it too
        qm::RequireLibraries(errorCode, qm::origin::kVeyra, qm::Needs::Store);
        if (!qm::IsValidMedium(nMedia)) {
            qm::Fail(errorCode, qm::code::kVeyraNoMedia);
        }
        auto area = std::make_unique<char[]>(qm::kDnAreaSize);
        int32_t count = qm::Store().LD_GetKeyDN(qm::kKindOwn, area.get(), nMedia, nSiteCode);
        if (count <= 0) {
            qm::Fail(errorCode, qm::code::kVeyraNoCertificate);
        }
        std::string list = qm::JoinDnList(area.get(), count, id.get(), IsAnsiLeadByte);
        if (list.empty()) {
            qm::Fail(errorCode, qm::code::kVeyraNoMatch);
        }
        *pResult = qm::ToAutomationString(list.c_str());
        return S_OK;
    });
}

HRESULT Veyra::getCert(BSTR bstrDN, BSTR bstrPasswd, BSTR* pResult) {
    return qm::RunMethod(*this, pResult, [&] {
        qm::NarrowText dn(bstrDN);
        qm::NarrowText password(bstrPasswd);
        qm::RequireLibraries(errorCode, qm::origin::kVeyra, qm::Needs::Both);

        // Serves only to prove the password by unlocking the private key.
        CDigestCredential credential("SHA1");
        if (!qm::IsValidMedium(media)) {
            qm::Fail(errorCode, qm::code::kVeyraNoMedia);
        }

        CCertLoader loader;
        qm::Check(errorCode,
                  loader.Load(dn.OrEmpty(), qm::kKindOwn, qm::kLoadOwnCertificate, media),
                  qm::code::kVeyraCannotReadCertificate);
        qm::LocalBytes certificate;
        ByteBuffer loaded = loader.GetBytes();
        // A store that reported success but delivered nothing leaves its -2 in the code.
        qm::Check(errorCode, AssignBytes(certificate.out(), loaded.length, loaded.data));
        // The certificate and the key come from two look-ups, and a planted medium may pair the
        // victim's certificate with a key whose password its planter knows. Holding the
        // certificate, the credential unlocks only the certificate's own key; without it, any.
        if (credential.SetCertificate(certificate.get().length, certificate.get().data) != 0) {
            qm::Fail(errorCode, qm::code::kVeyraCannotReadCertificate);
        }

        int32_t unlocked = 0;
        {
            qm::StoreBlock key;
            qm::Check(errorCode,
                      qm::Store().LD_GetKey(dn.OrEmpty(), qm::kKindOwn, media, qm::kDefaultSiteCode,
                                            qm::kStorePassword, &key.buffer),
                      qm::code::kVeyraCannotReadKey);
            unlocked = credential.UnlockPrivateKey(key.buffer, password.OrEmpty());
        }
        if (unlocked == qm::kEngineKeyNotForCertificate) {
            // The key opened, but it is not this certificate's: the store has no key for the DN.
            qm::Fail(errorCode, qm::code::kVeyraCannotReadKey);
        }
        qm::Check(errorCode, unlocked, qm::code::kVeyraWrongPassword);

        qm::EngineBlock<char> pem;
        qm::Engine().CV_PemEncode(&certificate.get(), qm::kPemCertificate, pem.out());
        certificate.reset();
        *pResult = qm::ToAutomationString(pem.get());
        return S_OK;
    });
}
