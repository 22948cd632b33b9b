// DSSession.GeneralValidation: the order of its checks and its signed results, over a store
// double and the real engine.
#include "automation/DSSession.h"
#include "platform/StringConversion.h"
#include "tests/automation/fixtures.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using qmtest::Bstr;

struct Outcome {
    HRESULT hr;
    INT result;
    int code;
};

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

class ValidationTest : public ::testing::Test {
protected:
    qmtest::StoreDouble store = StoreWithRealRegistry();
    qmtest::ScopedStoreDouble bound{store};
    Standalone<DSSession> ds;
    std::wstring ca = Wide(FixtureText("ca.pem"));
    std::wstring otherCa = Wide(FixtureText("other-ca.pem"));

    void SetUp() override { store.myCert.bytes = Fixture("user.der"); }

    Outcome Validate(const wchar_t* dn, const std::wstring& caText, const wchar_t* crl,
                     const wchar_t* arl, int medium) {
        qm::UniqueBstr bdn = Bstr(dn);
        qm::UniqueBstr bca = Bstr(caText.c_str());
        qm::UniqueBstr bcrl = Bstr(crl);
        qm::UniqueBstr barl = Bstr(arl);
        INT result = 12345;
        HRESULT hr =
            ds.GeneralValidation(bdn.get(), bca.get(), bcrl.get(), barl.get(), medium, &result);
        INT code = -1;
        ds.GetErrorCode(&code);
        return {hr, result, code};
    }
};

TEST_F(ValidationTest, AValidCertificateGivesZero) {
    Outcome o = Validate(L"cn=Hong,ou=x", ca, L"", nullptr, 1);
    EXPECT_EQ(S_OK, o.hr);
    EXPECT_EQ(0, o.result);
    EXPECT_EQ(0, o.code);
    EXPECT_EQ(1, store.Last("LD_GetMyCert").medium);
    EXPECT_EQ(700, store.Last("LD_GetMyCert").siteCode);
    EXPECT_EQ("5821", store.Last("LD_GetMyCert").password);
}

TEST_F(ValidationTest, ACertificateTheEngineRejectsStillCountsAsCarriedOut) {
    Outcome o = Validate(L"cn=Hong,ou=x", otherCa, nullptr, nullptr, 0);
    EXPECT_EQ(S_OK, o.hr);
    EXPECT_EQ(-198148077, o.result);
    EXPECT_EQ(19, o.code);
}

TEST_F(ValidationTest, TheChecksRunInOrderAndTheResultNamesTheFirstFailure) {
    Outcome o = Validate(L"", ca, nullptr, nullptr, -1);
    EXPECT_EQ(S_FALSE, o.hr);
    EXPECT_EQ(-198148082, o.result) << "the DN is tested before the medium";
    EXPECT_EQ(14, o.code);
    EXPECT_EQ(-198148082, Validate(nullptr, ca, nullptr, nullptr, 0).result);

    EXPECT_EQ(-198148078, Validate(L"cn=Hong", ca, nullptr, nullptr, -1).result);
    EXPECT_EQ(-198148078, Validate(L"cn=Hong", ca, nullptr, nullptr, 4).result);
    EXPECT_EQ(0, store.Count("LD_GetMyCert"));

    store.myCert.result = -5;
    EXPECT_EQ(-198148091, Validate(L"cn=Hong", ca, nullptr, nullptr, 0).result);
    store.myCert.result = 0;

    store.myCert.bytes.clear();
    EXPECT_EQ(-198148090, Validate(L"cn=Hong", ca, nullptr, nullptr, 0).result);
    store.myCert.bytes = Fixture("user.der");

    int callsBefore = store.Count("LD_GetMyCert");
    Outcome noCa = Validate(L"cn=Hong", L"", nullptr, nullptr, 0);
    EXPECT_EQ(S_FALSE, noCa.hr);
    EXPECT_EQ(-198148081, noCa.result);
    EXPECT_EQ(15, noCa.code);
    EXPECT_EQ(callsBefore + 1, store.Count("LD_GetMyCert")) << "the certificate is read first";
    EXPECT_EQ(-198148081, Validate(L"cn=Hong", L"not pem", nullptr, nullptr, 0).result);

    const wchar_t* garbage = L"-----BEGIN X509 CRL-----\n!!!\n-----END X509 CRL-----\n";
    EXPECT_EQ(-198148080, Validate(L"cn=Hong", ca, garbage, nullptr, 0).result);
    EXPECT_EQ(-198148079, Validate(L"cn=Hong", ca, L"", garbage, 0).result);
}

TEST_F(ValidationTest, ALengthBeyondTheCertificateBlockIsACertificateThatCannotBeRead) {
    // A store reporting lengths its 3,000-byte block cannot hold: the validator never copies
    // past the block, and the block's wipe never writes past it.
    for (int32_t reported : {-1, qm::kStoreBlockSize + 1, INT_MAX}) {
        SCOPED_TRACE(reported);
        store.myCert.reportedLength = reported;
        Outcome o = Validate(L"cn=Hong,ou=x", ca, nullptr, nullptr, 0);
        EXPECT_EQ(S_FALSE, o.hr);
        EXPECT_EQ(-198148091, o.result);
        EXPECT_EQ(5, o.code);
    }
    store.myCert.reportedLength = 0;
    EXPECT_EQ(-198148090, Validate(L"cn=Hong,ou=x", ca, nullptr, nullptr, 0).result);
    // The whole block, as the store says: the certificate with what follows it in the block.
    store.myCert.reportedLength = qm::kStoreBlockSize;
    Outcome whole = Validate(L"cn=Hong,ou=x", ca, nullptr, nullptr, 0);
    EXPECT_EQ(S_OK, whole.hr);
}

TEST_F(ValidationTest, TheFetchingMethodsDoNothing) {
    Validate(L"", ca, nullptr, nullptr, 0);
    BSTR untouched = reinterpret_cast<BSTR>(0x5);
    EXPECT_EQ(S_OK, ds.RetrieveCRL(nullptr, &untouched));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x5), untouched);
    INT code = -1;
    ds.GetErrorCode(&code);
    EXPECT_EQ(14, code);
}

} // namespace
