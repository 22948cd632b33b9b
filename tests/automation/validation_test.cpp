// DSSession.GeneralValidation: the order of its checks and its signed results, over a store
// double and the real engine.
#include "automation/DSSession.h"
#include "tests/automation/fixtures.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>

namespace {

using qmtest::Bstr;

struct Outcome {
    HRESULT hr;
    INT result;
    int code;
    bool operator==(const Outcome&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Outcome& o) {
        return out << "hr " << o.hr << ", result " << o.result << ", code " << o.code;
    }
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

    Outcome Validate(const wchar_t* dn, const std::wstring& caText, const wchar_t* crl = nullptr,
                     const wchar_t* arl = nullptr, int medium = 0) {
        qm::UniqueBstr bdn = Bstr(dn), bca = Bstr(caText.c_str()), bcrl = Bstr(crl),
                       barl = Bstr(arl);
        INT result = 12345;
        HRESULT hr =
            ds.GeneralValidation(bdn.get(), bca.get(), bcrl.get(), barl.get(), medium, &result);
        return {hr, result, CodeOf(ds)};
    }
};

TEST_F(ValidationTest, AValidCertificateGivesZero) {
    EXPECT_EQ((Outcome{S_OK, 0, 0}), Validate(L"cn=Hong,ou=x", ca, L"", nullptr, 1));
    EXPECT_EQ(1, store.Last("LD_GetMyCert").medium);
    EXPECT_EQ(700, store.Last("LD_GetMyCert").siteCode);
    EXPECT_EQ("5821", store.Last("LD_GetMyCert").password);
}

TEST_F(ValidationTest, ACertificateTheEngineRejectsStillCountsAsCarriedOut) {
    EXPECT_EQ((Outcome{S_OK, -198148077, 19}), Validate(L"cn=Hong,ou=x", otherCa));
}

TEST_F(ValidationTest, TheChecksRunInOrderAndTheResultNamesTheFirstFailure) {
    EXPECT_EQ((Outcome{S_FALSE, -198148082, 14}), Validate(L"", ca, nullptr, nullptr, -1))
        << "the DN is tested before the medium";
    EXPECT_EQ(-198148082, Validate(nullptr, ca).result);

    EXPECT_EQ(-198148078, Validate(L"cn=Hong", ca, nullptr, nullptr, -1).result);
    EXPECT_EQ(-198148078, Validate(L"cn=Hong", ca, nullptr, nullptr, 4).result);
    EXPECT_EQ(0, store.Count("LD_GetMyCert"));

    store.myCert.result = -5;
    EXPECT_EQ(-198148091, Validate(L"cn=Hong", ca).result);
    store.myCert.result = 0;

    store.myCert.bytes.clear();
    EXPECT_EQ(-198148090, Validate(L"cn=Hong", ca).result);
    store.myCert.bytes = Fixture("user.der");

    int callsBefore = store.Count("LD_GetMyCert");
    EXPECT_EQ((Outcome{S_FALSE, -198148081, 15}), Validate(L"cn=Hong", L""));
    EXPECT_EQ(callsBefore + 1, store.Count("LD_GetMyCert")) << "the certificate is read first";
    EXPECT_EQ(-198148081, Validate(L"cn=Hong", L"not pem").result);

    const wchar_t* garbage = L"-----BEGIN X509 CRL-----\n!!!\n-----END X509 CRL-----\n";
    EXPECT_EQ(-198148080, Validate(L"cn=Hong", ca, garbage).result);
    EXPECT_EQ(-198148079, Validate(L"cn=Hong", ca, L"", garbage).result);
}

TEST_F(ValidationTest, ALengthBeyondTheCertificateBlockIsACertificateThatCannotBeRead) {
    // A store reporting lengths its 3,000-byte block cannot hold: the validator never copies
    // past the block, and the block's wipe never writes past it.
    for (int32_t reported : {-1, qm::kStoreBlockSize + 1, INT_MAX}) {
        SCOPED_TRACE(reported);
        store.myCert.reportedLength = reported;
        EXPECT_EQ((Outcome{S_FALSE, -198148091, 5}), Validate(L"cn=Hong,ou=x", ca));
    }
    store.myCert.reportedLength = 0;
    EXPECT_EQ(-198148090, Validate(L"cn=Hong,ou=x", ca).result);
    // The whole block, as the store says: the certificate with what follows it in the block.
    store.myCert.reportedLength = qm::kStoreBlockSize;
    EXPECT_EQ(S_OK, Validate(L"cn=Hong,ou=x", ca).hr);
}

TEST_F(ValidationTest, TheFetchingMethodsDoNothing) {
    Validate(L"", ca);
    BSTR untouched = reinterpret_cast<BSTR>(0x5);
    EXPECT_EQ(S_OK, ds.RetrieveCRL(nullptr, &untouched));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x5), untouched);
    EXPECT_EQ(14, CodeOf(ds));
}

} // namespace
