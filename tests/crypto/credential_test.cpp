// Credentials, the envelope and the digest credential over the engine double.
#include "crypto/Credential.h"
#include "tests/crypto/doubles_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using toy::Base64;
using toy::Bytes;
using toy::Digest;

class CredentialTest : public DoublesTest {
protected:
    std::vector<uint8_t> first = Bytes("first certificate");
    std::vector<uint8_t> second = Bytes("second, longer certificate");
};

std::vector<uint8_t> Held(const ByteBuffer& buffer) {
    return buffer.data == nullptr ? std::vector<uint8_t>{}
                                  : std::vector<uint8_t>(buffer.data, buffer.data + buffer.length);
}

TEST_F(CredentialTest, CertificateCarriesTheDigestOfExactlyItsBytes) {
    CCredential credential;
    ASSERT_EQ(credential.SetCertificate(int(first.size()), first.data()), 0);
    EXPECT_EQ(Held(credential.GetCertificate()), first);
    EXPECT_EQ(std::string(credential.GetDigestText()), Base64(Digest(first)));

    // Replacing it replaces the digest text and returns the first one to the engine.
    ASSERT_EQ(credential.SetCertificateText(toy::Pem(second).c_str()), 0);
    EXPECT_EQ(Held(credential.GetCertificate()), second);
    EXPECT_EQ(std::string(credential.GetDigestText()), Base64(Digest(second)));
    EXPECT_EQ(LiveBlocks(), 1u);

    // Handing the credential its own bytes back is safe.
    const ByteBuffer& own = credential.GetCertificate();
    ASSERT_EQ(credential.SetCertificate(own.length, own.data), 0);
    EXPECT_EQ(Held(credential.GetCertificate()), second);
}

TEST_F(CredentialTest, FailedCertificateSetsLeaveTheDocumentedState) {
    CCredential credential;
    ASSERT_EQ(credential.SetCertificate(int(first.size()), first.data()), 0);
    std::string digest = credential.GetDigestText();

    // Undecodable text: the engine's code, recorded; certificate and digest as they were.
    int32_t code = credential.SetCertificateText("not pem");
    EXPECT_LT(code, 0);
    EXPECT_EQ(credential.GetStatus(), code);
    EXPECT_EQ(Held(credential.GetCertificate()), first);
    EXPECT_EQ(credential.GetDigestText(), digest);

    // A decode of no bytes, or no bytes given: -2, no certificate, the earlier digest text kept.
    engine().pemDecodeEmpty = true;
    EXPECT_EQ(credential.SetCertificateText(toy::Pem(second).c_str()), qm::kNothingToCopy);
    EXPECT_EQ(credential.GetStatus(), qm::kNothingToCopy);
    EXPECT_EQ(credential.GetCertificate().length, 0);
    EXPECT_EQ(credential.GetDigestText(), digest);
    EXPECT_EQ(credential.SetCertificate(0, first.data()), qm::kNothingToCopy);
    EXPECT_EQ(credential.SetCertificate(5, nullptr), qm::kNothingToCopy);
    EXPECT_EQ(credential.GetCertificate().data, nullptr);

    // A failed digest keeps the certificate and leaves no digest text.
    FailEngine("CV_Digest", -61);
    EXPECT_EQ(credential.SetCertificate(int(second.size()), second.data()), -61);
    EXPECT_EQ(credential.GetStatus(), -61);
    EXPECT_EQ(Held(credential.GetCertificate()), second);
    EXPECT_EQ(credential.GetDigestText(), nullptr);
}

TEST_F(CredentialTest, UnlockingTakesThePasswordWithoutItsTerminator) {
    CDigestCredential credential("SHA1");
    EXPECT_EQ(credential.GetStatus(), 0);
    std::vector<uint8_t> key = Bytes("encrypted key");
    ByteBuffer encrypted{int32_t(key.size()), key.data()};

    ASSERT_EQ(credential.UnlockPrivateKey(encrypted, "open sesame"), 0);
    EXPECT_EQ(engine().lastPassword, "open sesame");
    EXPECT_EQ(Held(credential.GetPrivateKey()), Bytes("PLAIN:encrypted key"));
    EXPECT_EQ(LiveBlocks(), 0u);
    // The held key handed back as input is read before it is released.
    ASSERT_EQ(credential.UnlockPrivateKey(credential.GetPrivateKey(), "open sesame"), 0);
    EXPECT_EQ(Held(credential.GetPrivateKey()), Bytes("PLAIN:PLAIN:encrypted key"));

    // An empty or missing password is refused before the engine sees it; the key stays.
    int calls = engine().Count("CV_DecryptPrivateKey");
    EXPECT_EQ(credential.UnlockPrivateKey(encrypted, ""), qm::kNothingToCopy);
    EXPECT_EQ(credential.UnlockPrivateKey(encrypted, nullptr), qm::kNothingToCopy);
    EXPECT_EQ(credential.GetStatus(), qm::kNothingToCopy);
    EXPECT_EQ(engine().Count("CV_DecryptPrivateKey"), calls);
    EXPECT_EQ(Held(credential.GetPrivateKey()), Bytes("PLAIN:PLAIN:encrypted key"));

    // A wrong password leaves no key (and the destructor must not release it again).
    EXPECT_EQ(credential.UnlockPrivateKey(encrypted, "guess"), toy::kWrongPassword);
    EXPECT_EQ(credential.GetStatus(), toy::kWrongPassword);
    EXPECT_EQ(credential.GetPrivateKey().data, nullptr);
    EXPECT_EQ(credential.GetPrivateKey().length, 0);
}

TEST_F(CredentialTest, UnlockingFromPemTextReleasesTheDecodedKey) {
    CCredential credential;
    std::string pem = toy::Pem(Bytes("k"), "ENCRYPTED PRIVATE KEY");
    ASSERT_EQ(credential.UnlockPrivateKeyText(pem.c_str(), "open sesame"), 0);
    EXPECT_EQ(Held(credential.GetPrivateKey()), Bytes("PLAIN:k"));
    EXPECT_EQ(LiveBlocks(), 0u);

    EXPECT_EQ(credential.UnlockPrivateKeyText(pem.c_str(), "wrong"), toy::kWrongPassword);
    EXPECT_EQ(credential.GetPrivateKey().data, nullptr);
    EXPECT_EQ(LiveBlocks(), 0u);

    ASSERT_EQ(credential.UnlockPrivateKeyText(pem.c_str(), "open sesame"), 0);
    int32_t code = credential.UnlockPrivateKeyText(nullptr, "open sesame");
    EXPECT_LT(code, 0);
    EXPECT_EQ(credential.GetStatus(), code);
    EXPECT_EQ(Held(credential.GetPrivateKey()), Bytes("PLAIN:k"));
}

TEST_F(CredentialTest, DigestCredentialRecordsAnUnknownNameAndStillWorks) {
    CDigestCredential unknown("MD9");
    EXPECT_EQ(unknown.GetStatus(), toy::kUnknownName);
    CDigestCredential missing(nullptr);
    EXPECT_EQ(missing.GetStatus(), toy::kUnknownName);
    EXPECT_EQ(unknown.SetCertificate(int(first.size()), first.data()), 0);
}

TEST_F(CredentialTest, SealNeedsACertificateAndDoesNotRecordThatRefusal) {
    CEnvelope envelope;
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(envelope.Seal(data, 4), qm::kNoCertificate);
    EXPECT_EQ(envelope.GetStatus(), 0);
    EXPECT_EQ(envelope.GetSealedText(), nullptr);
    EXPECT_EQ(engine().Count("CV_EncryptForCertificate"), 0);
}

TEST_F(CredentialTest, SealKeepsOnlyTheLastTextAndSurvivesFailures) {
    CEnvelope envelope;
    ASSERT_EQ(envelope.SetCertificate(int(first.size()), first.data()), 0);
    std::vector<uint8_t> material = Bytes("key and iv");
    ASSERT_EQ(envelope.Seal(material.data(), int(material.size())), 0);
    std::string firstText = envelope.GetSealedText();
    EXPECT_EQ(firstText, Base64(Bytes("SEALED:key and iv")));

    std::vector<uint8_t> other = Bytes("other");
    ASSERT_EQ(envelope.Seal(other.data(), int(other.size())), 0);
    EXPECT_EQ(std::string(envelope.GetSealedText()), Base64(Bytes("SEALED:other")));
    EXPECT_EQ(LiveBlocks(), 2u); // the digest text and the second sealed text

    EXPECT_EQ(envelope.Seal(other.data(), 0), qm::kNothingToCopy);
    EXPECT_EQ(envelope.GetStatus(), qm::kNothingToCopy);
    FailEngine("CV_EncryptForCertificate", -70);
    EXPECT_EQ(envelope.Seal(other.data(), 5), -70);
    EXPECT_EQ(envelope.GetStatus(), -70);
    EXPECT_EQ(std::string(envelope.GetSealedText()), Base64(Bytes("SEALED:other")));

    // A sealed result that cannot be encoded is a failure, not a success without text.
    engine().failures.clear();
    FailEngine("CV_Base64Encode", -71);
    EXPECT_EQ(envelope.Seal(other.data(), 5), -71);
    EXPECT_EQ(envelope.GetStatus(), -71);
    EXPECT_EQ(envelope.GetSealedText(), nullptr);
}

} // namespace
