// Sealing to a certificate (opened by `openssl cms`) and unlocking private keys (written by
// `openssl pkcs8`).
#include "tests/engine/engine_test.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/pki.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace engine_test;
using namespace qm::testing;
namespace fs = std::filesystem;

std::string Q(const fs::path& p) {
    return ShellQuote(p.string());
}

class Keys : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir("qm-keys");
        root_ = new Authority(Authority::Root(dir_->path(), "KeysRoot"));
        rsaUser_ = new Credential(root_->Issue("RsaUser", KeyKind::Rsa));
        ecUser_ = new Credential(root_->Issue("EcUser", KeyKind::Ec));
    }
    static void TearDownTestSuite() {
        delete ecUser_;
        delete rsaUser_;
        delete root_;
        delete dir_;
    }

    // Seals `plain` to the credential's certificate; returns the DER message.
    std::vector<uint8_t> Seal(const Credential& to, const std::vector<uint8_t>& plain) {
        std::vector<uint8_t> cert = to.Der();
        ByteBuffer certificate = In(cert);
        ByteBuffer in = In(plain);
        Out out;
        EXPECT_EQ(corvane::CV_EncryptForCertificate(context_.get(), &certificate, &in, &out), 0);
        return out.bytes();
    }

    // What `openssl cms -decrypt` makes of a sealed message with the credential's key.
    std::vector<uint8_t> OpenWithCli(const Credential& as, const std::vector<uint8_t>& sealed) {
        WriteFile(*dir_ / "sealed.der", sealed);
        Openssl("cms -decrypt -binary -inform DER -in " + Q(*dir_ / "sealed.der") + " -recip " +
                Q(as.certPem) + " -inkey " + Q(as.keyPem) + " -out " + Q(*dir_ / "opened"));
        return ReadBinaryFile(*dir_ / "opened");
    }

    std::string Print(const std::vector<uint8_t>& sealed) {
        WriteFile(*dir_ / "print.der", sealed);
        return Openssl("cms -cmsout -print -inform DER -in " + Q(*dir_ / "print.der"));
    }

    static TempDir* dir_;
    static Authority* root_;
    static Credential* rsaUser_;
    static Credential* ecUser_;
    Context context_;
};

TempDir* Keys::dir_;
Authority* Keys::root_;
Credential* Keys::rsaUser_;
Credential* Keys::ecUser_;

TEST_F(Keys, SealedDataOpensWithOpensslCmsForRsaAndEcRecipients) {
    std::mt19937 gen(1);
    for (const Credential* to : {rsaUser_, ecUser_}) {
        for (size_t size : {32, 0, 1, 100000}) {
            SCOPED_TRACE(to->name + " " + std::to_string(size));
            std::vector<uint8_t> plain(size);
            for (uint8_t& b : plain) {
                b = uint8_t(gen());
            }
            std::vector<uint8_t> sealed = Seal(*to, plain);
            ASSERT_FALSE(sealed.empty());
            EXPECT_EQ(OpenWithCli(*to, sealed), plain);
        }
    }
}

TEST_F(Keys, SealingUsesOaepWithSha256AndAnEcdhKdfWithSha256) {
    std::vector<uint8_t> key(32, 0x42);
    std::string rsa = Print(Seal(*rsaUser_, key));
    EXPECT_NE(rsa.find("rsaesOaep"), std::string::npos) << rsa;
    EXPECT_NE(rsa.find("sha256"), std::string::npos) << rsa;
    EXPECT_NE(rsa.find("aes-256-cbc"), std::string::npos) << rsa;
    std::string ec = Print(Seal(*ecUser_, key));
    EXPECT_NE(ec.find("dhSinglePass-stdDH-sha256kdf-scheme"), std::string::npos) << ec;
}

TEST_F(Keys, SealingTwiceGivesDifferentMessages) {
    std::vector<uint8_t> key(32, 0x42);
    EXPECT_NE(Seal(*rsaUser_, key), Seal(*rsaUser_, key));
}

TEST_F(Keys, SealingRefusesBadCertificatesAndKeysItCannotUse) {
    std::vector<uint8_t> cert = rsaUser_->Der();
    std::vector<uint8_t> plain(32, 1);
    ByteBuffer in = In(plain);
    Out out;
    auto seal = [&](const std::vector<uint8_t>& der) {
        ByteBuffer certificate = In(der);
        int32_t rc = corvane::CV_EncryptForCertificate(context_.get(), &certificate, &in, &out);
        EXPECT_EQ(out.get().data, nullptr);
        return rc;
    };
    for (size_t n : {size_t(1), size_t(10), cert.size() / 2, cert.size() - 1}) {
        EXPECT_EQ(seal(std::vector<uint8_t>(cert.begin(), cert.begin() + long(n))),
                  err::kBadCertificate)
            << n;
    }
    EXPECT_EQ(seal(Concat({cert, std::vector<uint8_t>{0x30, 0x00}})), err::kBadCertificate);
    EXPECT_EQ(seal(BytesOf("-----BEGIN CERTIFICATE-----")), err::kBadCertificate);
    ByteBuffer certificate = In(cert);

    fs::path ed = *dir_ / "ed25519";
    Openssl("req -x509 -newkey ed25519 -nodes -subj /CN=Ed -days 1 -keyout " + Q(ed) +
            ".key -out " + Q(ed) + ".pem -outform DER");
    fs::path edPem = ed;
    edPem += ".pem";
    EXPECT_EQ(seal(ReadBinaryFile(edPem)), err::kUnsupportedKey);

    EngineContext released{};
    ASSERT_EQ(corvane::CV_ContextInit(&released), 0);
    ASSERT_EQ(corvane::CV_ContextFree(&released), 0);
    EXPECT_EQ(corvane::CV_EncryptForCertificate(&released, &certificate, &in, &out),
              err::kBadContext);
}

// Private keys as `openssl pkcs8 -topk8` writes them, under each kind of password encryption.
class PrivateKeys : public Keys {
protected:
    struct Encrypted {
        std::string how;
        std::vector<uint8_t> der;
    };

    // Encrypts the key file with each scheme; schemes that this OpenSSL refuses are left out.
    static std::vector<Encrypted> EncryptAll(const fs::path& key, const std::string& password) {
        std::vector<Encrypted> all;
        for (const char* how :
             {"-v2 aes-256-cbc", "-v2 aes-128-cbc -v2prf hmacWithSHA1", "-v2 des3",
              "-v1 PBE-SHA1-3DES", "-v1 PBE-SHA1-RC2-40", "-v1 PBE-MD5-DES"}) {
            fs::path out = *dir_ / "encrypted.der";
            CommandResult r =
                RunCommand("openssl pkcs8 -topk8 -provider legacy -provider default -in " + Q(key) +
                           " -outform DER -out " + Q(out) +
                           " -passout pass:" + ShellQuote(password) + " " + how);
            if (r.exitCode == 0) {
                all.push_back({how, ReadBinaryFile(out)});
            } else {
                std::printf("[   NOTE   ] this OpenSSL does not write keys with %s\n", how);
            }
        }
        return all;
    }

    static std::vector<uint8_t> PlainPkcs8(const fs::path& key) {
        fs::path out = *dir_ / "plain.der";
        Openssl("pkcs8 -topk8 -nocrypt -in " + Q(key) + " -outform DER -out " + Q(out));
        return ReadBinaryFile(out);
    }

    int32_t Unlock(const std::vector<uint8_t>& encrypted, std::string_view password,
                   std::vector<uint8_t>& key) {
        ByteBuffer in = In(encrypted);
        // The password buffer has no NUL after it, as the system passes it; the sanitizers
        // catch any read past its end.
        std::vector<uint8_t> secret(password.begin(), password.end());
        ByteBuffer pw{int32_t(secret.size()), secret.empty() ? nullptr : secret.data()};
        Out out;
        int32_t rc = corvane::CV_DecryptPrivateKey(context_.get(), &in, &pw, &out);
        if (rc != 0) {
            EXPECT_EQ(out.get().data, nullptr);
            EXPECT_EQ(out.get().length, 0);
        }
        key = out.bytes();
        return rc;
    }
};

TEST_F(PrivateKeys, OpensKeysWrittenByOpensslUnderEveryScheme) {
    for (const Credential* user : {rsaUser_, ecUser_}) {
        std::vector<uint8_t> expected = PlainPkcs8(user->keyPem);
        std::vector<Encrypted> all = EncryptAll(user->keyPem, "s3cret pass");
        ASSERT_GE(all.size(), 4u) << "PBES2 (AES, 3DES) and a PKCS#12 PBE must be available";
        for (const Encrypted& e : all) {
            SCOPED_TRACE(user->name + " " + e.how);
            std::vector<uint8_t> key;
            ASSERT_EQ(Unlock(e.der, "s3cret pass", key), 0);
            EXPECT_EQ(key, expected);
            EXPECT_EQ(Unlock(e.der, "s3cret pasS", key), err::kWrongPassword);
            EXPECT_EQ(Unlock(e.der, "s3cret pass ", key), err::kWrongPassword);
            EXPECT_EQ(Unlock(e.der, "", key), err::kEmptyInput);
        }
    }
}

TEST_F(PrivateKeys, DamagedOrForeignInputNeverYieldsAKey) {
    std::vector<Encrypted> all = EncryptAll(rsaUser_->keyPem, "pw");
    ASSERT_FALSE(all.empty());
    const std::vector<uint8_t>& good = all.front().der;
    std::vector<uint8_t> key;
    for (size_t n = 1; n < good.size(); n += 7) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + long(n));
        EXPECT_EQ(Unlock(cut, "pw", key), err::kBadPrivateKey) << n;
    }
    // Flipping a byte of the ciphertext (the key's tail) breaks the padding or the key inside.
    std::vector<uint8_t> flipped = good;
    flipped[flipped.size() - 20] ^= 1;
    EXPECT_EQ(Unlock(flipped, "pw", key), err::kWrongPassword);

    EXPECT_EQ(Unlock(PlainPkcs8(rsaUser_->keyPem), "pw", key), err::kBadPrivateKey);
    EXPECT_EQ(Unlock(rsaUser_->Der(), "pw", key), err::kBadPrivateKey);
    EXPECT_EQ(Unlock(BytesOf("garbage"), "pw", key), err::kBadPrivateKey);
}

} // namespace
