// Session key and session cipher over the engine double.
#include "crypto/SessionKey.h"
#include "platform/Base64.h"
#include "platform/ciphers.h"
#include "tests/crypto/doubles_test.h"

#include <numeric>

namespace {

// Rows of the engine's table: one whose key and IV are as long as each other, one whose are not.
const qm::CipherRow& kAes = *qm::FindCipher("AES");
const qm::CipherRow& kTripleDes = *qm::FindCipher("3DES");

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), uint8_t(0));
    return bytes;
}

// Checks that `held` holds the key and IV of `row` from the start of `bytes`, and only those.
void ExpectSplit(CSessionKey& held, const qm::CipherRow& row, const std::vector<uint8_t>& bytes) {
    auto slice = [&](int32_t from, int32_t to) {
        return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + to);
    };
    const int32_t key = row.keyLength, both = key + row.ivLength;
    EXPECT_EQ(Held(held.GetKey()), slice(0, key));
    EXPECT_EQ(Held(held.GetIv()), slice(key, both));
    EXPECT_EQ(Held(held.GetKeyMaterial()), slice(0, both));
}

using SessionKeyTest = DoublesTest;

TEST_F(SessionKeyTest, KeyMaterialSplitsByTheEngineLengthsAndIgnoresExtraBytes) {
    std::vector<uint8_t> bytes = Counting(40);
    CSessionKey aes(kAes.name);
    ASSERT_EQ(aes.GetStatus(), 0);
    EXPECT_EQ(aes.GetAlgorithmId(), kAes.id);
    ASSERT_EQ(aes.SetKeyMaterial(bytes.data(), 32), 0);
    ExpectSplit(aes, kAes, bytes);
    // The IV length is asked first.
    EXPECT_LT(std::find(engine().calls.begin(), engine().calls.end(), "CV_IvLength"),
              std::find(engine().calls.begin(), engine().calls.end(), "CV_KeyLength"));

    CSessionKey des(kTripleDes.id);
    ASSERT_EQ(des.SetKeyMaterial(bytes.data(), 40), 0);
    ASSERT_NE(kTripleDes.keyLength, kTripleDes.ivLength);
    ExpectSplit(des, kTripleDes, bytes);

    // The object's own material handed back is read before it is released.
    ByteBuffer own = des.GetKeyMaterial();
    ASSERT_EQ(des.SetKeyMaterial(own.data, own.length), 0);
    ExpectSplit(des, kTripleDes, bytes);
}

TEST_F(SessionKeyTest, RefusedKeyMaterialKeepsThePreviousMaterial) {
    std::vector<uint8_t> bytes = Counting(32);
    std::vector<uint8_t> other(32, 0xEE);
    CSessionKey key(kAes.id);
    ASSERT_EQ(key.SetKeyMaterial(bytes.data(), 32), 0);

    EXPECT_EQ(key.SetKeyMaterial(other.data(), 31), qm::kInputMissing);
    EXPECT_EQ(key.SetKeyMaterial(nullptr, 32), qm::kInputMissing);
    EXPECT_EQ(key.SetKeyMaterial(other.data(), 0), qm::kInputMissing);
    for (auto [failing, code] : {std::pair("CV_IvLength", -41), std::pair("CV_KeyLength", -42)}) {
        FailEngine(failing, code);
        EXPECT_EQ(key.SetKeyMaterial(other.data(), 32), code) << failing;
        engine().failures.clear();
    }
    EXPECT_EQ(key.SetKeyMaterialText(""), qm::kPartNotSet);
    EXPECT_EQ(key.SetKeyMaterialText(nullptr), qm::kPartNotSet);
    EXPECT_LT(key.SetKeyMaterialText("@@not base64@@"), 0);

    EXPECT_EQ(key.GetStatus(), 0); // none of these refusals is recorded
    EXPECT_EQ(Held(key.GetKeyMaterial()), bytes);
    EXPECT_EQ(LiveBlocks(), 0u);
}

TEST_F(SessionKeyTest, KeyMaterialTextRoundTrips) {
    std::vector<uint8_t> bytes = Counting(32);
    CSessionKey made(kAes.name);
    ASSERT_EQ(made.SetKeyMaterial(bytes.data(), 32), 0);
    const char* text = made.GetKeyMaterialText();
    ASSERT_NE(text, nullptr);
    made.GetKeyMaterialText(); // remade each time; the earlier text goes back to the engine
    EXPECT_EQ(LiveBlocks(), 1u);

    CSessionKey restored(made.GetAlgorithmId());
    ASSERT_EQ(restored.SetKeyMaterialText(made.GetKeyMaterialText()), 0);
    EXPECT_EQ(Held(restored.GetKeyMaterial()), bytes);
}

TEST_F(SessionKeyTest, ARecordedFailureBlocksKeyMaterial) {
    std::vector<uint8_t> bytes = Counting(32);
    CSessionKey fresh(kAes.id);
    ByteBuffer none = fresh.GetKeyMaterial();
    EXPECT_EQ(none.length, 0);
    EXPECT_EQ(none.data, nullptr);
    EXPECT_EQ(fresh.GetStatus(), qm::kPartNotSet);
    EXPECT_EQ(fresh.SetKeyMaterial(bytes.data(), 32), qm::kPartNotSet);
    EXPECT_EQ(fresh.GetKey().data, nullptr);

    CSessionKey text(kAes.id);
    EXPECT_EQ(text.GetKeyMaterialText(), nullptr);
    EXPECT_EQ(text.GetStatus(), qm::kPartNotSet);

    CSessionCipher unknown("NO-SUCH");
    EXPECT_EQ(unknown.GetStatus(), err::kUnknownCipher);
    EXPECT_EQ(unknown.SetKeyMaterial(bytes.data(), 32), err::kUnknownCipher);
    EXPECT_EQ(unknown.SetKeyMaterialText(qm::base64::Encode(bytes).c_str()), err::kUnknownCipher);
    EXPECT_EQ(engine().Count("CV_IvLength"), 0);
    CSessionCipher missing(nullptr);
    EXPECT_EQ(missing.GetStatus(), err::kUnknownCipher);
}

class SessionCipherTest : public DoublesTest {
protected:
    void SetUp() override {
        DoublesTest::SetUp();
        cipher.emplace(kAes.id);
        ASSERT_EQ(cipher->SetKeyMaterial(material.data(), 32), 0);
    }
    void TearDown() override {
        cipher.reset(); // before the double checks what came back
        DoublesTest::TearDown();
    }
    std::vector<uint8_t> material = Counting(32);
    std::optional<CSessionCipher> cipher;
};

TEST_F(SessionCipherTest, DeciphersWhatItEnciphered) {
    ASSERT_EQ(cipher->Encipher("attack at dawn"), 0);
    std::string enciphered = cipher->GetCipherText();

    CSessionCipher other(kAes.id);
    ASSERT_EQ(other.SetKeyMaterialText(cipher->GetKeyMaterialText()), 0);
    ASSERT_EQ(other.Decipher(enciphered.c_str()), 0);
    EXPECT_STREQ(other.GetPlainText(), "attack at dawn");
    EXPECT_EQ(LiveBlocks(), 2u); // the two texts the objects still hold
}

TEST_F(SessionCipherTest, DecipheredTextEndsAtAZeroByte) {
    std::vector<uint8_t> data = Bytes(std::string_view("ab\0cd", 5));
    ByteBuffer input{5, data.data()}, output{0, nullptr};
    ASSERT_EQ(
        qm::Engine().CV_Encrypt(kAes.id, material.data(), material.data() + 16, &input, &output),
        0);
    std::string text = qm::base64::Encode(Held(output));
    qm::Engine().CV_Free(output.data);

    ASSERT_EQ(cipher->Decipher(text.c_str()), 0);
    EXPECT_STREQ(cipher->GetPlainText(), "ab");
}

TEST_F(SessionCipherTest, RefusalsAreReturnedAndEngineFailuresRecorded) {
    CSessionCipher bare(kAes.id);
    EXPECT_EQ(bare.Encipher("x"), qm::kPartNotSet);
    EXPECT_EQ(bare.Decipher("eA=="), qm::kPartNotSet);
    EXPECT_EQ(bare.GetStatus(), 0);

    EXPECT_EQ(cipher->Encipher(""), qm::kNothingToCopy);
    EXPECT_EQ(cipher->Encipher(nullptr), qm::kNothingToCopy);
    EXPECT_EQ(cipher->GetStatus(), qm::kNothingToCopy);
    EXPECT_EQ(cipher->Decipher(""), qm::kInputMissing);
    EXPECT_EQ(cipher->Decipher(nullptr), qm::kInputMissing);
    EXPECT_EQ(cipher->GetStatus(), qm::kNothingToCopy); // -11 is not recorded

    CSessionCipher fine(kAes.id);
    ASSERT_EQ(fine.SetKeyMaterial(material.data(), 32), 0);
    ASSERT_EQ(fine.Encipher("kept"), 0);
    std::string kept = fine.GetCipherText();
    ASSERT_EQ(fine.Decipher(kept.c_str()), 0);

    FailEngine("CV_Encrypt", -31);
    EXPECT_EQ(fine.Encipher("lost"), -31);
    EXPECT_EQ(fine.GetStatus(), -31);
    EXPECT_EQ(fine.GetCipherText(), kept);
    EXPECT_LT(fine.Decipher("!!"), 0); // not Base64
    // One block that decrypts to nonsense (no valid padding) under this key.
    EXPECT_EQ(fine.Decipher("AAAAAAAAAAAAAAAAAAAAAA=="), err::kDecryptFailed);
    EXPECT_EQ(fine.GetStatus(), err::kDecryptFailed);
    EXPECT_STREQ(fine.GetPlainText(), "kept");
    // The recorded failure now blocks new key material.
    EXPECT_EQ(fine.SetKeyMaterial(material.data(), 32), err::kDecryptFailed);

    // Ciphertext that cannot be encoded is a failure, not a success without text.
    engine().failures.clear();
    CSessionCipher noText(kAes.id);
    ASSERT_EQ(noText.SetKeyMaterial(material.data(), 32), 0);
    FailEngine("CV_Base64Encode", -32);
    EXPECT_EQ(noText.Encipher("text"), -32);
    EXPECT_EQ(noText.GetStatus(), -32);
    EXPECT_EQ(noText.GetCipherText(), nullptr);
}

} // namespace
