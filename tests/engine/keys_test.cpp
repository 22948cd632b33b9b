// Sealing to a certificate (opened by `openssl cms`) and unlocking private keys (written by
// `openssl pkcs8`).
#include "engine/core/passwords.h"
#include "platform/OpenSslOwners.h"
#include "tests/engine/engine_test.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/pki.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <random>
#include <stdexcept>

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

// What deriving an encrypted key's encryption key costs: the iteration count of PBKDF2 or of an
// older PBE, or scrypt's N, r and p.
struct Cost {
    uint64_t iterations = 0;
    uint64_t n = 0;
    uint64_t r = 0;
    uint64_t p = 0;
};

template <typename T>
std::shared_ptr<T> Unpack(const X509_ALGOR* algorithm, const ASN1_ITEM* item, void (*free)(T*)) {
    int type = V_ASN1_UNDEF;
    const void* value = nullptr;
    X509_ALGOR_get0(nullptr, &type, &value, algorithm);
    T* params =
        type == V_ASN1_SEQUENCE
            ? static_cast<T*>(ASN1_item_unpack(static_cast<const ASN1_STRING*>(value), item))
            : nullptr;
    if (params == nullptr) {
        throw std::runtime_error("unreadable key encryption parameters");
    }
    return std::shared_ptr<T>(params, free);
}

template <typename T> void Repack(X509_ALGOR* algorithm, T* params, const ASN1_ITEM* item) {
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    ASN1_STRING* packed = ASN1_item_pack(params, item, nullptr);
    if (packed == nullptr ||
        X509_ALGOR_set0(algorithm, OBJ_dup(oid), V_ASN1_SEQUENCE, packed) != 1) {
        throw std::runtime_error("cannot pack key encryption parameters");
    }
}

// The encrypted key with its cost rewritten in its parameters. Nothing is derived, so a cost of
// days takes no time to write; the ciphertext no longer fits, which a refused key never reaches.
std::vector<uint8_t> WithCost(const std::vector<uint8_t>& der, const Cost& cost) {
    const unsigned char* in = der.data();
    qm::OpenSslPtr<X509_SIG, X509_SIG_free> sig(d2i_X509_SIG(nullptr, &in, long(der.size())));
    if (sig == nullptr) {
        throw std::runtime_error("not an encrypted key");
    }
    X509_ALGOR* algorithm = nullptr;
    X509_SIG_getm(sig.get(), &algorithm, nullptr);
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    if (OBJ_obj2nid(oid) != NID_pbes2) {
        auto pbe = Unpack(algorithm, ASN1_ITEM_rptr(PBEPARAM), PBEPARAM_free);
        ASN1_INTEGER_set_uint64(pbe->iter, cost.iterations);
        Repack(algorithm, pbe.get(), ASN1_ITEM_rptr(PBEPARAM));
    } else {
        auto pbes2 = Unpack(algorithm, ASN1_ITEM_rptr(PBE2PARAM), PBE2PARAM_free);
        X509_ALGOR_get0(&oid, nullptr, nullptr, pbes2->keyfunc);
        if (OBJ_obj2nid(oid) == NID_id_scrypt) {
            auto kdf = Unpack(pbes2->keyfunc, ASN1_ITEM_rptr(SCRYPT_PARAMS), SCRYPT_PARAMS_free);
            ASN1_INTEGER_set_uint64(kdf->costParameter, cost.n);
            ASN1_INTEGER_set_uint64(kdf->blockSize, cost.r);
            ASN1_INTEGER_set_uint64(kdf->parallelizationParameter, cost.p);
            Repack(pbes2->keyfunc, kdf.get(), ASN1_ITEM_rptr(SCRYPT_PARAMS));
        } else {
            auto kdf = Unpack(pbes2->keyfunc, ASN1_ITEM_rptr(PBKDF2PARAM), PBKDF2PARAM_free);
            ASN1_INTEGER_set_uint64(kdf->iter, cost.iterations);
            Repack(pbes2->keyfunc, kdf.get(), ASN1_ITEM_rptr(PBKDF2PARAM));
        }
        Repack(algorithm, pbes2.get(), ASN1_ITEM_rptr(PBE2PARAM));
    }
    unsigned char* out = nullptr;
    int length = i2d_X509_SIG(sig.get(), &out);
    std::vector<uint8_t> bytes(out, out + std::max(length, 0));
    OPENSSL_free(out);
    return bytes;
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
        for (const char* how : {"-v2 aes-256-cbc", "-v2 aes-128-cbc -v2prf hmacWithSHA1",
                                "-v2 des3", "-v2 aes-256-cbc -v2prf hmacWithSHA512 -iter 100000",
                                "-v2 camellia-256-cbc", "-scrypt", "-v1 PBE-SHA1-3DES",
                                "-v1 PBE-SHA1-2DES", "-v1 PBE-SHA1-RC2-40", "-v1 PBE-SHA1-RC2-128",
                                "-v1 PBE-SHA1-RC4-128", "-v1 PBE-MD5-DES", "-v1 PBE-SHA1-DES"}) {
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

    // One key as `openssl pkcs8 -topk8` writes it with the options `how`.
    static std::vector<uint8_t> EncryptOne(const fs::path& key, const std::string& password,
                                           const std::string& how) {
        fs::path out = *dir_ / "one.der";
        Openssl("pkcs8 -topk8 -provider legacy -provider default -in " + Q(key) +
                " -outform DER -out " + Q(out) + " -passout pass:" + ShellQuote(password) + " " +
                how);
        return ReadBinaryFile(out);
    }

    int32_t Unlock(const std::vector<uint8_t>& encrypted, std::string_view password,
                   std::vector<uint8_t>& key) {
        return Unlock(context_.get(), encrypted, password, key);
    }

    int32_t Unlock(EngineContext* context, const std::vector<uint8_t>& encrypted,
                   std::string_view password, std::vector<uint8_t>& key) {
        ByteBuffer in = In(encrypted);
        // The password buffer has no NUL after it, as the system passes it; the sanitizers
        // catch any read past its end.
        std::vector<uint8_t> secret(password.begin(), password.end());
        ByteBuffer pw{int32_t(secret.size()), secret.empty() ? nullptr : secret.data()};
        Out out;
        int32_t rc = corvane::CV_DecryptPrivateKey(context, &in, &pw, &out);
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
        ASSERT_GE(all.size(), 6u) << "PBES2 (AES, 3DES, scrypt) and PKCS#12 PBEs must be available";
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

// "비밀번호1234" as a page on Korean Windows hands it over (code page 949) and as ledra-tool and
// OpenSSL's tools take it (UTF-8).
const std::string kKoreanInCp949 = "\xBA\xF1\xB9\xD0\xB9\xF8\xC8\xA3"
                                   "1234";
const std::string kKoreanInUtf8 = "\xEB\xB9\x84\xEB\xB0\x80\xEB\xB2\x88\xED\x98\xB8"
                                  "1234";
const std::string kWrongKoreanInCp949 = "\xBA\xF1\xB9\xD0\xB9\xF8\xC8\xA3"
                                        "1235";

std::span<const uint8_t> Span(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Text(const std::optional<qm::WipedBytes>& bytes) {
    return bytes ? std::string(bytes->data(), bytes->data() + bytes->size()) : "(nothing)";
}

TEST(PasswordSpellings, ConvertBetweenTheCodePageAndUtf8OnlyWhenNothingIsLost) {
    EXPECT_EQ(Text(corvane::Utf8FromCodePage(Span(kKoreanInCp949), 949)), kKoreanInUtf8);
    EXPECT_EQ(Text(corvane::CodePageFromUtf8(Span(kKoreanInUtf8), 949)), kKoreanInCp949);
    EXPECT_EQ(Text(corvane::Utf8FromCodePage(Span("plain ascii"), 949)), "plain ascii");
    // A lead byte without its trail byte, and UTF-8 read as code page 949, are not text of it.
    EXPECT_FALSE(corvane::Utf8FromCodePage(Span(kKoreanInCp949.substr(0, 7)), 949));
    EXPECT_FALSE(corvane::Utf8FromCodePage(Span(kKoreanInUtf8), 949));
    // A character that code page 949 lacks must not become a stand-in: that is another password.
    EXPECT_FALSE(corvane::CodePageFromUtf8(Span("pw \xF0\x9F\x94\x91"), 949));
    EXPECT_FALSE(corvane::CodePageFromUtf8(Span("\xC3"), 949)); // not UTF-8
    // UTF-8 itself, or no code page at all, gives no second spelling.
    EXPECT_FALSE(corvane::Utf8FromCodePage(Span(kKoreanInUtf8), corvane::kUtf8CodePage));
    EXPECT_FALSE(corvane::CodePageFromUtf8(Span(kKoreanInUtf8), 0));
    EXPECT_TRUE(corvane::IsAscii(Span("pw 1234")));
    EXPECT_FALSE(corvane::IsAscii(Span(kKoreanInCp949)));
}

// A page hands the engine "비밀번호1234" in code page 949; ledra-tool and `openssl pkcs8` encrypt
// under its UTF-8 bytes, while software on Korean Windows may have encrypted under the CP949
// bytes. Both kinds open from a page, under PBES2 (SEED, AES) and a PKCS#12 PBE alike, and a
// wrong password still opens neither. The store's tool, given UTF-8, tries the converse.
TEST_F(PrivateKeys, ANonAsciiPasswordOpensKeysEncryptedUnderEitherSpelling) {
    std::vector<uint8_t> expected = PlainPkcs8(rsaUser_->keyPem);
    auto page = [&](const std::vector<uint8_t>& encrypted, const std::string& password,
                    uint32_t codePage) {
        ByteBuffer in = In(encrypted);
        ByteBuffer pw = In(password);
        Out out;
        int32_t rc = corvane::DecryptPrivateKeyInCodePage(context_.get(), &in, &pw, codePage, &out);
        EXPECT_EQ(rc == 0, out.bytes() == expected);
        return rc;
    };
    auto tool = [&](const std::vector<uint8_t>& encrypted, const std::string& password,
                    const std::string* other) {
        ByteBuffer in = In(encrypted);
        ByteBuffer pw = In(password);
        ByteBuffer second = other != nullptr ? In(*other) : ByteBuffer{0, nullptr};
        Out out;
        int32_t rc = corvane::DecryptPrivateKeyEitherWay(context_.get(), &in, &pw, &second, &out);
        EXPECT_EQ(rc == 0, out.bytes() == expected);
        return rc;
    };
    for (const char* how : {"-v2 seed-cbc", "-v2 aes-256-cbc", "-v1 PBE-SHA1-3DES"}) {
        for (const std::string* spelling : {&kKoreanInUtf8, &kKoreanInCp949}) {
            SCOPED_TRACE(std::string(how) + (spelling == &kKoreanInUtf8 ? ", UTF-8" : ", CP949"));
            std::vector<uint8_t> key = EncryptOne(rsaUser_->keyPem, *spelling, how);
            EXPECT_EQ(page(key, kKoreanInCp949, 949), 0);
            EXPECT_EQ(page(key, kWrongKoreanInCp949, 949), err::kWrongPassword);
            // Without a code page (a POSIX process) the password is taken as given only.
            EXPECT_EQ(page(key, kKoreanInCp949, 0) == 0, spelling == &kKoreanInCp949);
            EXPECT_EQ(tool(key, kKoreanInUtf8, &kKoreanInCp949), 0);
            EXPECT_EQ(tool(key, kKoreanInUtf8, nullptr) == 0, spelling == &kKoreanInUtf8);
            EXPECT_EQ(tool(key, kWrongKoreanInCp949, &kWrongKoreanInCp949), err::kWrongPassword);
        }
    }
    // CV_DecryptPrivateKey is the page's way in the process's own code page (none natively).
    std::vector<uint8_t> key = EncryptOne(rsaUser_->keyPem, kKoreanInUtf8, "-v2 aes-256-cbc");
    std::vector<uint8_t> opened;
    EXPECT_EQ(Unlock(key, kKoreanInUtf8, opened), 0);
    EXPECT_EQ(Unlock(key, kKoreanInCp949, opened), err::kWrongPassword);
}

// A planted key file chooses what deriving its encryption key costs, and every page that proves
// a password pays for it. Keys at the caps open; keys over them are refused before any derivation
// runs (the ones below would take from minutes to days).
TEST_F(PrivateKeys, KeysAskingForMoreWorkThanTheCapsAreRefusedUnopened) {
    std::vector<uint8_t> key;
    std::vector<uint8_t> expected = PlainPkcs8(ecUser_->keyPem);
    std::vector<uint8_t> pbkdf2 =
        EncryptOne(ecUser_->keyPem, "pw", "-v2 aes-256-cbc -iter 1000000");
    std::vector<uint8_t> scrypt =
        EncryptOne(ecUser_->keyPem, "pw", "-scrypt -scrypt_N 16384 -scrypt_r 8 -scrypt_p 8");
    std::vector<uint8_t> pkcs12 = EncryptOne(ecUser_->keyPem, "pw", "-v1 PBE-SHA1-3DES");
    std::vector<uint8_t> pbes1 = EncryptOne(ecUser_->keyPem, "pw", "-v1 PBE-MD5-DES");
    for (const std::vector<uint8_t>* atTheCap : {&pbkdf2, &scrypt}) {
        ASSERT_EQ(Unlock(*atTheCap, "pw", key), 0);
        EXPECT_EQ(key, expected);
    }

    struct Case {
        const char* what;
        std::vector<uint8_t> der;
    };
    const Case over[] = {
        {"PBKDF2, one iteration over", WithCost(pbkdf2, {.iterations = 1000001})},
        {"PBKDF2, 2^31 - 1 iterations", WithCost(pbkdf2, {.iterations = 0x7FFFFFFF})},
        {"PBKDF2, 2^64 - 1 iterations", WithCost(pbkdf2, {.iterations = UINT64_MAX})},
        {"PKCS#12 PBE, 2^31 - 1 iterations", WithCost(pkcs12, {.iterations = 0x7FFFFFFF})},
        {"PBES1, 2^31 - 1 iterations", WithCost(pbes1, {.iterations = 0x7FFFFFFF})},
        {"scrypt, 64 MiB", WithCost(scrypt, {.n = 65536, .r = 8, .p = 1})},
        {"scrypt, 2^28 blocks in 2 MiB", WithCost(scrypt, {.n = 16384, .r = 1, .p = 16384})},
        {"scrypt, 2^20 blocks and one more lane", WithCost(scrypt, {.n = 16384, .r = 8, .p = 9})},
        {"scrypt, N of 2^40", WithCost(scrypt, {.n = uint64_t(1) << 40, .r = 1, .p = 1})},
    };
    for (const Case& c : over) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Unlock(c.der, "pw", key), err::kUnsupportedKeyEncryption);
    }
    // Zero iterations or no lanes at all is a damaged key, not a cheap one.
    EXPECT_EQ(Unlock(WithCost(pbkdf2, {.iterations = 0}), "pw", key),
              err::kUnsupportedKeyEncryption);
    EXPECT_EQ(Unlock(WithCost(scrypt, {.n = 16384, .r = 8, .p = 0}), "pw", key),
              err::kUnsupportedKeyEncryption);
}

// A planted medium holds the victim's certificate beside the attacker's key, encrypted under a
// password the attacker knows. A context that was given the certificate unlocks only the
// certificate's own key, so that password proves nothing about the certificate.
TEST_F(PrivateKeys, AContextGivenACertificateUnlocksOnlyThatCertificatesKey) {
    Credential attacker = root_->Issue("Attacker", KeyKind::Rsa);
    for (const Credential* victim : {rsaUser_, ecUser_}) {
        SCOPED_TRACE(victim->name);
        std::vector<uint8_t> victimKey = EncryptOne(victim->keyPem, "victim", "-v2 aes-256-cbc");
        std::vector<uint8_t> attackerKey =
            EncryptOne(attacker.keyPem, "attacker", "-v2 aes-256-cbc");
        std::vector<uint8_t> victimCert = victim->Der();
        std::vector<uint8_t> attackerCert = attacker.Der();
        ByteBuffer cert = In(victimCert);
        int32_t version = 0;
        int32_t bits = 0;
        Context context;
        std::vector<uint8_t> key;
        ASSERT_EQ(corvane::CV_ParseCertificate(context.get(), &cert, 0, &version, &bits), 0);

        EXPECT_EQ(Unlock(context.get(), attackerKey, "attacker", key), err::kKeyNotForCertificate);
        EXPECT_TRUE(key.empty());
        EXPECT_EQ(Unlock(context.get(), victimKey, "attacker", key), err::kWrongPassword);
        ASSERT_EQ(Unlock(context.get(), victimKey, "victim", key), 0);
        EXPECT_EQ(key, PlainPkcs8(victim->keyPem));

        // Another certificate replaces the first.
        cert = In(attackerCert);
        ASSERT_EQ(corvane::CV_ParseCertificate(context.get(), &cert, 0, &version, &bits), 0);
        EXPECT_EQ(Unlock(context.get(), attackerKey, "attacker", key), 0);
        EXPECT_EQ(Unlock(context.get(), victimKey, "victim", key), err::kKeyNotForCertificate);

        // A certificate the engine cannot read leaves no certificate to fall back on.
        std::vector<uint8_t> cut(victimCert.begin(), victimCert.begin() + 100);
        cert = In(cut);
        EXPECT_EQ(corvane::CV_ParseCertificate(context.get(), &cert, 0, &version, &bits),
                  err::kBadCertificate);
        EXPECT_EQ(Unlock(context.get(), attackerKey, "attacker", key), err::kKeyNotForCertificate);
        EXPECT_EQ(Unlock(context.get(), victimKey, "victim", key), err::kKeyNotForCertificate);

        // A context released and initialised again holds no certificate: keys alone, as ever.
        ASSERT_EQ(corvane::CV_ContextFree(context.get()), 0);
        ASSERT_EQ(corvane::CV_ContextInit(context.get()), 0);
        EXPECT_EQ(Unlock(context.get(), attackerKey, "attacker", key), 0);
    }
}

} // namespace
