// The certificate loader (over the store double) and the validator (over the engine double).
#include "crypto/CertLoader.h"
#include "crypto/CertValidator.h"
#include "tests/crypto/doubles_test.h"

#include <climits>
#include <tuple>

namespace {

using CertLoaderTest = DoublesTest;

TEST_F(CertLoaderTest, PemTextIsDecodedWhateverTheOtherArgumentsSay) {
    CCertLoader loader;
    std::string pem = FixtureText("user.pem");
    ASSERT_EQ(loader.Load(pem.c_str(), 0, qm::kLoadOwnCertificate, 2), 0);
    EXPECT_EQ(Held(loader.GetBytes()), Fixture("user.der"));
    EXPECT_TRUE(store().calls.empty());
    EXPECT_EQ(LiveBlocks(), 0u);

    // Undecodable PEM: the engine's code; the earlier bytes stay.
    EXPECT_EQ(loader.Load("-----BEGIN nonsense", 0, qm::kLoadOwnCertificate, 0), err::kBadPem);
    EXPECT_EQ(Held(loader.GetBytes()), Fixture("user.der"));
}

TEST_F(CertLoaderTest, DistinguishedNamesGoToTheStore) {
    CCertLoader loader;
    store().myCert.bytes = Bytes("mine");
    ASSERT_EQ(loader.Load("cn=Hong,o=x", 0, qm::kLoadOwnCertificate, 3), 0);
    EXPECT_EQ(store().Functions(), std::vector<std::string>{"LD_GetMyCert"});
    const qmtest::StoreCall& call = store().calls.back();
    EXPECT_EQ(std::tie(call.dn, call.kind, call.medium, call.siteCode, call.password),
              std::make_tuple("cn=Hong,o=x", 0, 3, 700, "5821"));
    EXPECT_EQ(Held(loader.GetBytes()), Bytes("mine"));

    // A second load leaves only its own result; "-----BEGIN" after the start is no PEM.
    store().cert.bytes.assign(qm::kStoreBlockSize, 0x30);
    ASSERT_EQ(loader.Load("cn=x -----BEGIN", 1, qm::kLoadByDn, 0), 0);
    const qmtest::StoreCall& byDn = store().calls.back();
    EXPECT_EQ(std::tie(byDn.function, byDn.dn, byDn.kind),
              std::make_tuple("LD_GetCert", "cn=x -----BEGIN", 1));
    EXPECT_EQ(Held(loader.GetBytes()), store().cert.bytes);
}

TEST_F(CertLoaderTest, StoreFailuresLeaveNothingToUse) {
    CCertLoader loader;
    store().cert.result = -404;
    EXPECT_EQ(loader.Load(nullptr, 1, qm::kLoadByDn, 0), -404);
    EXPECT_EQ(store().calls.back().dn, "");
    EXPECT_EQ(loader.GetBytes().data, nullptr);
    EXPECT_EQ(loader.GetBytes().length, 0);

    // A length beyond the area the store was given is never handed out.
    store().cert.result = 0;
    store().cert.bytes = Bytes("ok");
    store().cert.reportedLength = qm::kStoreBlockSize + 1;
    EXPECT_EQ(loader.Load("cn=x", 1, qm::kLoadByDn, 0), qm::kNothingToCopy);
    EXPECT_EQ(loader.GetBytes().length, 0);

    store().calls.clear();
    EXPECT_EQ(loader.Load("cn=x", 1, 7, 0), qm::kInputMissing);
    EXPECT_TRUE(store().calls.empty());
}

TEST_F(CertLoaderTest, OnlyALengthWithinTheBlockIsEverKept) {
    // What a hostile store might report for a certificate it claims to have written; the loader
    // (and every copy made from it) must never reach beyond the 3,000-byte block.
    store().myCert.bytes.assign(qm::kStoreBlockSize, 0x30);
    store().cert.bytes = store().myCert.bytes;
    for (int32_t mode : {qm::kLoadOwnCertificate, qm::kLoadByDn}) {
        for (int32_t reported : {-1, 0, qm::kStoreBlockSize, qm::kStoreBlockSize + 1, INT_MAX}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", length " + std::to_string(reported));
            CCertLoader loader;
            store().myCert.reportedLength = store().cert.reportedLength = reported;
            bool fits = reported >= 0 && reported <= qm::kStoreBlockSize;
            EXPECT_EQ(loader.Load("cn=x", 0, mode, 0), fits ? 0 : qm::kNothingToCopy);
            EXPECT_EQ(loader.GetBytes().length, fits ? reported : 0);
            if (!fits) {
                EXPECT_EQ(loader.GetBytes().data, nullptr);
            }
            ByteBuffer copy{0, nullptr};
            ByteBuffer held = loader.GetBytes();
            if (CCryptoObject::AssignBytes(&copy, held.length, held.data) == 0) {
                EXPECT_EQ(Held(copy), std::vector<uint8_t>(size_t(reported), 0x30));
                CCryptoObject::ReleaseBytes(&copy);
            }
        }
    }
}

class CertValidatorTest : public DoublesTest {
protected:
    std::vector<uint8_t> cert = Fixture("user.der");
    std::string ca = FixtureText("ca.pem");
    std::string crl = FixtureText("crl.pem"); // lists cert as revoked
};

// What the engine answers for a certificate that a CRL lists, and for one whose issuer is not
// among the CA certificates (OpenSSL's verification errors 23 and 20).
constexpr int32_t kRevoked = err::kVerifyFailed - 23;
constexpr int32_t kNoIssuer = err::kVerifyFailed - 20;

TEST_F(CertValidatorTest, ValidatesWithEmptyRevocationListsAsEmptyBuffers) {
    CCertValidator validator;
    EXPECT_EQ(validator.Validate(), qm::kPartNotSet);
    EXPECT_EQ(engine().Count("CV_VerifyCertificate"), 0);

    ASSERT_EQ(validator.SetCertificate(int(cert.size()), cert.data()), 0);
    EXPECT_EQ(engine().Count("CV_ParseCertificate"), 1);
    EXPECT_EQ(validator.Validate(), qm::kPartNotSet); // still no CA certificates
    ASSERT_EQ(validator.SetCaCertificates(ca.c_str()), 0);
    ASSERT_EQ(validator.SetCrl(""), 0);
    ASSERT_EQ(validator.SetArl(nullptr), 0);
    EXPECT_EQ(validator.Validate(), 0);
    EXPECT_EQ(LiveBlocks(), 0u); // a valid certificate comes with no detail

    // The engine's verdict comes back unchanged; each run returns the detail of the one before.
    ASSERT_EQ(validator.SetCaCertificates(FixtureText("other-ca.pem").c_str()), 0);
    EXPECT_EQ(validator.Validate(), kNoIssuer);
    EXPECT_EQ(validator.Validate(), kNoIssuer);
    EXPECT_EQ(LiveBlocks(), 1u);
    FailEngine("CV_VerifyCertificate", -317);
    EXPECT_EQ(validator.Validate(), -317);
}

TEST_F(CertValidatorTest, RevocationListsAreReplacedThroughTheEngine) {
    CCertValidator validator;
    ASSERT_EQ(validator.SetCertificate(int(cert.size()), cert.data()), 0);
    ASSERT_EQ(validator.SetCaCertificates(ca.c_str()), 0);
    ASSERT_EQ(validator.SetCrl(crl.c_str()), 0);
    int freesBefore = engine().frees;
    ASSERT_EQ(validator.SetCrl(crl.c_str()), 0);
    EXPECT_EQ(engine().frees, freesBefore + 1);
    ASSERT_EQ(validator.SetArl(crl.c_str()), 0);
    EXPECT_EQ(LiveBlocks(), 2u);
    EXPECT_EQ(validator.Validate(), kRevoked);

    // A list that does not decode: the engine's code, recorded; the list is gone, and the ARL
    // alone does not check the certificate itself.
    EXPECT_EQ(validator.SetCrl("garbage"), err::kBadPem);
    EXPECT_EQ(validator.GetStatus(), err::kBadPem);
    EXPECT_EQ(validator.Validate(), 0);
    EXPECT_EQ(LiveBlocks(), 1u);
}

TEST_F(CertValidatorTest, MissingOrUnreadablePartsAreRefused) {
    CCertValidator validator;
    EXPECT_EQ(validator.SetCertificate(0, cert.data()), qm::kNothingToCopy);
    EXPECT_EQ(engine().Count("CV_ParseCertificate"), 1); // parsed all the same

    EXPECT_EQ(validator.SetCaCertificates(""), qm::kInputMissing);
    EXPECT_EQ(validator.GetStatus(), qm::kInputMissing);
    EXPECT_EQ(validator.SetCaCertificates(nullptr), qm::kInputMissing);
    EXPECT_EQ(validator.SetCaCertificates("no pem"), err::kBadPem);
    EXPECT_EQ(validator.GetStatus(), err::kBadPem);
    EXPECT_EQ(validator.SetArl("no pem"), err::kBadPem);
    EXPECT_EQ(validator.GetStatus(), err::kBadPem);

    // CA text that an engine decodes to nothing names no CA.
    engine().emptySuccesses.insert("CV_PemDecode");
    EXPECT_EQ(validator.SetCaCertificates(ca.c_str()), qm::kNothingToCopy);
    EXPECT_EQ(validator.GetStatus(), qm::kNothingToCopy);
    EXPECT_EQ(LiveBlocks(), 0u);
}

} // namespace
