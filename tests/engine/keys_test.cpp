// Sealing to a certificate (opened by `openssl cms`) and unlocking private keys (written by
// `openssl pkcs8`).
#include "engine/core/passwords.h"
#include "platform/OpenSslOwners.h"
#include "tests/engine/engine_test.h"
#include "tests/support/pki.h"

#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <stdexcept>

namespace {

using namespace engine_test;

struct Users {
    TempDir dir{"qm-keys"};
    Authority root = Authority::Root(dir.path(), "KeysRoot");
    Credential rsa = root.Issue("RsaUser", KeyKind::Rsa);
    Credential ec = root.Issue("EcUser", KeyKind::Ec);
};

class Keys : public SuiteWide<Users> {
protected:
    static fs::path File(const char* name) { return shared_->dir / name; }

    // Seals `plain` to the credential's certificate; returns the DER message.
    Bytes Seal(const Credential& to, const Bytes& plain) {
        Bytes cert = to.Der();
        ByteBuffer in[] = {In(cert), In(plain)};
        Out out;
        EXPECT_EQ(CV_EncryptForCertificate(context_.get(), &in[0], &in[1], &out), 0);
        return out.bytes();
    }

    // What `openssl cms -decrypt` makes of a sealed message with the credential's key.
    static Bytes OpenWithCli(const Credential& as, const Bytes& sealed) {
        WriteFile(File("sealed.der"), sealed);
        Openssl("cms -decrypt -binary -inform DER -in " + Q(File("sealed.der")) + " -recip " +
                Q(as.certPem) + " -inkey " + Q(as.keyPem) + " -out " + Q(File("opened")));
        return ReadBinaryFile(File("opened"));
    }

    static std::string Print(const Bytes& sealed) {
        WriteFile(File("print.der"), sealed);
        return Openssl("cms -cmsout -print -inform DER -in " + Q(File("print.der")));
    }
};

TEST_F(Keys, SealedDataOpensWithOpensslCmsForRsaAndEcRecipients) {
    std::mt19937 gen(1);
    for (const Credential* to : {&shared_->rsa, &shared_->ec}) {
        for (size_t size : {32, 0, 1, 100000}) {
            SCOPED_TRACE(to->name + " " + std::to_string(size));
            Bytes plain = RandomBytes(size, gen);
            Bytes sealed = Seal(*to, plain);
            ASSERT_FALSE(sealed.empty());
            EXPECT_EQ(OpenWithCli(*to, sealed), plain);
        }
    }
}

TEST_F(Keys, SealingUsesOaepWithSha256AndAnEcdhKdfWithSha256) {
    Bytes key(32, 0x42);
    std::string rsa = Print(Seal(shared_->rsa, key));
    EXPECT_NE(rsa.find("rsaesOaep"), std::string::npos) << rsa;
    EXPECT_NE(rsa.find("sha256"), std::string::npos) << rsa;
    EXPECT_NE(rsa.find("aes-256-cbc"), std::string::npos) << rsa;
    std::string ec = Print(Seal(shared_->ec, key));
    EXPECT_NE(ec.find("dhSinglePass-stdDH-sha256kdf-scheme"), std::string::npos) << ec;
}

TEST_F(Keys, SealingTwiceGivesDifferentMessages) {
    Bytes key(32, 0x42);
    EXPECT_NE(Seal(shared_->rsa, key), Seal(shared_->rsa, key));
}

TEST_F(Keys, SealingRefusesBadCertificatesAndKeysItCannotUse) {
    Bytes cert = shared_->rsa.Der();
    Bytes plain(32, 1);
    ByteBuffer in = In(plain);
    Out out;
    auto seal = [&](const Bytes& der) {
        ByteBuffer certificate = In(der);
        int32_t rc = CV_EncryptForCertificate(context_.get(), &certificate, &in, &out);
        EXPECT_EQ(out.get().data, nullptr);
        return rc;
    };
    for (size_t n : {size_t(1), size_t(10), cert.size() / 2, cert.size() - 1}) {
        EXPECT_EQ(seal(Bytes(cert.begin(), cert.begin() + long(n))), err::kBadCertificate) << n;
    }
    EXPECT_EQ(seal(Concat({cert, Bytes{0x30, 0x00}})), err::kBadCertificate);
    EXPECT_EQ(seal(BytesOf("-----BEGIN CERTIFICATE-----")), err::kBadCertificate);

    Openssl("req -x509 -newkey ed25519 -nodes -subj /CN=Ed -days 1 -keyout " + Q(File("ed.key")) +
            " -out " + Q(File("ed.der")) + " -outform DER");
    EXPECT_EQ(seal(ReadBinaryFile(File("ed.der"))), err::kUnsupportedKey);

    EngineContext released{};
    ASSERT_EQ(CV_ContextInit(&released), 0);
    ASSERT_EQ(CV_ContextFree(&released), 0);
    ByteBuffer certificate = In(cert);
    EXPECT_EQ(CV_EncryptForCertificate(&released, &certificate, &in, &out), err::kBadContext);
}

// What deriving an encrypted key's encryption key costs: the iteration count of PBKDF2 or of an
// older PBE, or scrypt's N, r and p.
struct Cost {
    uint64_t iterations = 0, n = 0, r = 0, p = 0;
};

// Unpacks the parameters of `algorithm` as `item`, lets `edit` change them and packs them back.
template <typename T, typename Edit>
void Rewrite(X509_ALGOR* algorithm, const ASN1_ITEM* item, void (*free)(T*), Edit edit) {
    std::unique_ptr<T, void (*)(T*)> params(
        static_cast<T*>(ASN1_TYPE_unpack_sequence(item, algorithm->parameter)), free);
    if (params == nullptr) {
        throw std::runtime_error("unreadable key encryption parameters");
    }
    edit(params.get());
    if (ASN1_TYPE_pack_sequence(item, params.get(), &algorithm->parameter) == nullptr) {
        throw std::runtime_error("cannot pack key encryption parameters");
    }
}

// The encrypted key with its cost rewritten in its parameters. Nothing is derived, so a cost of
// days takes no time to write; the ciphertext no longer fits, which a refused key never reaches.
Bytes WithCost(const Bytes& der, const Cost& cost) {
    const unsigned char* in = der.data();
    qm::OpenSslPtr<X509_SIG, X509_SIG_free> sig(d2i_X509_SIG(nullptr, &in, long(der.size())));
    if (sig == nullptr) {
        throw std::runtime_error("not an encrypted key");
    }
    X509_ALGOR* algorithm = nullptr;
    X509_SIG_getm(sig.get(), &algorithm, nullptr);
    auto iterations = [&](auto* params) { ASN1_INTEGER_set_uint64(params->iter, cost.iterations); };
    if (OBJ_obj2nid(algorithm->algorithm) != NID_pbes2) {
        Rewrite(algorithm, ASN1_ITEM_rptr(PBEPARAM), PBEPARAM_free, iterations);
    } else {
        Rewrite(algorithm, ASN1_ITEM_rptr(PBE2PARAM), PBE2PARAM_free, [&](PBE2PARAM* pbes2) {
            if (OBJ_obj2nid(pbes2->keyfunc->algorithm) != NID_id_scrypt) {
                Rewrite(pbes2->keyfunc, ASN1_ITEM_rptr(PBKDF2PARAM), PBKDF2PARAM_free, iterations);
                return;
            }
            Rewrite(pbes2->keyfunc, ASN1_ITEM_rptr(SCRYPT_PARAMS), SCRYPT_PARAMS_free,
                    [&](SCRYPT_PARAMS* kdf) {
                        ASN1_INTEGER_set_uint64(kdf->costParameter, cost.n);
                        ASN1_INTEGER_set_uint64(kdf->blockSize, cost.r);
                        ASN1_INTEGER_set_uint64(kdf->parallelizationParameter, cost.p);
                    });
        });
    }
    unsigned char* out = nullptr;
    int length = i2d_X509_SIG(sig.get(), &out);
    qm::OpenSslBytes owned(out);
    return Bytes(out, out + std::max(length, 0));
}

// Private keys as `openssl pkcs8 -topk8` writes them, under each kind of password encryption.
class PrivateKeys : public Keys {
protected:
    // One key as `openssl pkcs8 -topk8` writes it with the options `how`.
    static Bytes EncryptOne(const fs::path& key, const std::string& password,
                            const std::string& how) {
        Openssl("pkcs8 -topk8 -provider legacy -provider default -in " + Q(key) +
                " -outform DER -out " + Q(File("one.der")) +
                " -passout pass:" + ShellQuote(password) + " " + how);
        return ReadBinaryFile(File("one.der"));
    }

    using Encrypted = std::pair<std::string, Bytes>; // how, and the key

    // Encrypts the key file with each scheme; schemes that this OpenSSL refuses are left out.
    static std::vector<Encrypted> EncryptAll(const fs::path& key, const std::string& password) {
        std::vector<Encrypted> all;
        for (const char* how : {"-v2 aes-256-cbc", "-v2 aes-128-cbc -v2prf hmacWithSHA1",
                                "-v2 des3", "-v2 aes-256-cbc -v2prf hmacWithSHA512 -iter 100000",
                                "-v2 camellia-256-cbc", "-scrypt", "-v1 PBE-SHA1-3DES",
                                "-v1 PBE-SHA1-2DES", "-v1 PBE-SHA1-RC2-40", "-v1 PBE-SHA1-RC2-128",
                                "-v1 PBE-SHA1-RC4-128", "-v1 PBE-MD5-DES", "-v1 PBE-SHA1-DES"}) {
            try {
                all.push_back({how, EncryptOne(key, password, how)});
            } catch (const std::runtime_error&) {
                std::printf("[   NOTE   ] this OpenSSL does not write keys with %s\n", how);
            }
        }
        return all;
    }

    static Bytes PlainPkcs8(const fs::path& key) {
        Openssl("pkcs8 -topk8 -nocrypt -in " + Q(key) + " -outform DER -out " +
                Q(File("plain.der")));
        return ReadBinaryFile(File("plain.der"));
    }

    // The password buffer has no NUL after it, as the system passes it; the sanitizers catch any
    // read past its end.
    int32_t Unlock(const Bytes& encrypted, std::string_view password, Bytes& key,
                   EngineContext* context = nullptr) {
        ByteBuffer in = In(encrypted);
        Bytes secret(password.begin(), password.end());
        ByteBuffer pw{int32_t(secret.size()), secret.empty() ? nullptr : secret.data()};
        return Collect(key, [&](ByteBuffer* out) {
            return CV_DecryptPrivateKey(context ? context : context_.get(), &in, &pw, out);
        });
    }
};

TEST_F(PrivateKeys, OpensKeysWrittenByOpensslUnderEveryScheme) {
    for (const Credential* user : {&shared_->rsa, &shared_->ec}) {
        Bytes expected = PlainPkcs8(user->keyPem);
        std::vector<Encrypted> all = EncryptAll(user->keyPem, "s3cret pass");
        ASSERT_GE(all.size(), 6u) << "PBES2 (AES, 3DES, scrypt) and PKCS#12 PBEs must be available";
        for (const auto& [how, der] : all) {
            SCOPED_TRACE(user->name + " " + how);
            Bytes key;
            ASSERT_EQ(Unlock(der, "s3cret pass", key), 0);
            EXPECT_EQ(key, expected);
            EXPECT_EQ(Unlock(der, "s3cret pasS", key), err::kWrongPassword);
            EXPECT_EQ(Unlock(der, "s3cret pass ", key), err::kWrongPassword);
            EXPECT_EQ(Unlock(der, "", key), err::kEmptyInput);
        }
    }
}

TEST_F(PrivateKeys, DamagedOrForeignInputNeverYieldsAKey) {
    std::vector<Encrypted> all = EncryptAll(shared_->rsa.keyPem, "pw");
    ASSERT_FALSE(all.empty());
    const Bytes& good = all.front().second;
    Bytes key;
    for (size_t n = 1; n < good.size(); n += 7) {
        EXPECT_EQ(Unlock(Bytes(good.begin(), good.begin() + long(n)), "pw", key),
                  err::kBadPrivateKey)
            << n;
    }
    // Flipping a byte of the ciphertext (the key's tail) breaks the padding or the key inside.
    Bytes flipped = good;
    flipped[flipped.size() - 20] ^= 1;
    EXPECT_EQ(Unlock(flipped, "pw", key), err::kWrongPassword);

    EXPECT_EQ(Unlock(PlainPkcs8(shared_->rsa.keyPem), "pw", key), err::kBadPrivateKey);
    EXPECT_EQ(Unlock(shared_->rsa.Der(), "pw", key), err::kBadPrivateKey);
    EXPECT_EQ(Unlock(BytesOf("garbage"), "pw", key), err::kBadPrivateKey);
}

// "비밀번호1234" as a page on Korean Windows hands it over (code page 949) and as ledra-tool and
// OpenSSL's tools take it (UTF-8).
const std::string kWordInCp949 = "\xBA\xF1\xB9\xD0\xB9\xF8\xC8\xA3"; // "비밀번호"
const std::string kKoreanInCp949 = kWordInCp949 + "1234";
const std::string kKoreanInUtf8 =
    "\xEB\xB9\x84\xEB\xB0\x80\xEB\xB2\x88\xED\x98\xB8" + std::string("1234");
const std::string kWrongKoreanInCp949 = kWordInCp949 + "1235";

std::string Text(const std::optional<qm::WipedBytes>& bytes) {
    return bytes ? std::string(bytes->data(), bytes->data() + bytes->size()) : "(nothing)";
}

TEST(PasswordSpellings, ConvertBetweenTheCodePageAndUtf8OnlyWhenNothingIsLost) {
    EXPECT_EQ(Text(Utf8FromCodePage(BytesOf(kKoreanInCp949), 949)), kKoreanInUtf8);
    EXPECT_EQ(Text(CodePageFromUtf8(BytesOf(kKoreanInUtf8), 949)), kKoreanInCp949);
    EXPECT_EQ(Text(Utf8FromCodePage(BytesOf("plain ascii"), 949)), "plain ascii");
    // A lead byte without its trail byte, and UTF-8 read as code page 949, are not text of it.
    EXPECT_FALSE(Utf8FromCodePage(BytesOf(kKoreanInCp949.substr(0, 7)), 949));
    EXPECT_FALSE(Utf8FromCodePage(BytesOf(kKoreanInUtf8), 949));
    // A character that code page 949 lacks must not become a stand-in: that is another password.
    EXPECT_FALSE(CodePageFromUtf8(BytesOf("pw \xF0\x9F\x94\x91"), 949));
    EXPECT_FALSE(CodePageFromUtf8(BytesOf("\xC3"), 949)); // not UTF-8
    // UTF-8 itself, or no code page at all, gives no second spelling.
    EXPECT_FALSE(Utf8FromCodePage(BytesOf(kKoreanInUtf8), kUtf8CodePage));
    EXPECT_FALSE(CodePageFromUtf8(BytesOf(kKoreanInUtf8), 0));
    EXPECT_TRUE(IsAscii(BytesOf("pw 1234")));
    EXPECT_FALSE(IsAscii(BytesOf(kKoreanInCp949)));
}

// A page hands the engine "비밀번호1234" in code page 949; ledra-tool and `openssl pkcs8` encrypt
// under its UTF-8 bytes, while software on Korean Windows may have encrypted under the CP949
// bytes. Both kinds open from a page, under PBES2 (SEED, AES) and a PKCS#12 PBE alike, and a
// wrong password still opens neither. The store's tool, given UTF-8, tries the converse.
TEST_F(PrivateKeys, ANonAsciiPasswordOpensKeysEncryptedUnderEitherSpelling) {
    Bytes expected = PlainPkcs8(shared_->rsa.keyPem);
    auto page = [&](const Bytes& encrypted, const std::string& password, uint32_t codePage) {
        ByteBuffer in[] = {In(encrypted), In(password)};
        Out out;
        int32_t rc = DecryptPrivateKeyInCodePage(context_.get(), &in[0], &in[1], codePage, &out);
        EXPECT_EQ(rc == 0, out.bytes() == expected);
        return rc;
    };
    auto tool = [&](const Bytes& encrypted, const std::string& password, const std::string* other) {
        ByteBuffer in[] = {In(encrypted), In(password),
                           other ? In(*other) : ByteBuffer{0, nullptr}};
        Out out;
        int32_t rc = DecryptPrivateKeyEitherWay(context_.get(), &in[0], &in[1], &in[2], &out);
        EXPECT_EQ(rc == 0, out.bytes() == expected);
        return rc;
    };
    for (const char* how : {"-v2 seed-cbc", "-v2 aes-256-cbc", "-v1 PBE-SHA1-3DES"}) {
        for (const std::string* spelling : {&kKoreanInUtf8, &kKoreanInCp949}) {
            SCOPED_TRACE(std::string(how) + (spelling == &kKoreanInUtf8 ? ", UTF-8" : ", CP949"));
            Bytes key = EncryptOne(shared_->rsa.keyPem, *spelling, how);
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
    Bytes key = EncryptOne(shared_->rsa.keyPem, kKoreanInUtf8, "-v2 aes-256-cbc");
    Bytes opened;
    EXPECT_EQ(Unlock(key, kKoreanInUtf8, opened), 0);
    EXPECT_EQ(Unlock(key, kKoreanInCp949, opened), err::kWrongPassword);
}

// A planted key file chooses what deriving its encryption key costs, and every page that proves
// a password pays for it. Keys at the caps open; keys over them are refused before any derivation
// runs (the ones below would take from minutes to days).
TEST_F(PrivateKeys, KeysAskingForMoreWorkThanTheCapsAreRefusedUnopened) {
    Bytes key;
    Bytes expected = PlainPkcs8(shared_->ec.keyPem);
    Bytes pbkdf2 = EncryptOne(shared_->ec.keyPem, "pw", "-v2 aes-256-cbc -iter 1000000");
    Bytes scrypt =
        EncryptOne(shared_->ec.keyPem, "pw", "-scrypt -scrypt_N 16384 -scrypt_r 8 -scrypt_p 8");
    Bytes pkcs12 = EncryptOne(shared_->ec.keyPem, "pw", "-v1 PBE-SHA1-3DES");
    Bytes pbes1 = EncryptOne(shared_->ec.keyPem, "pw", "-v1 PBE-MD5-DES");
    for (const Bytes* atTheCap : {&pbkdf2, &scrypt}) {
        ASSERT_EQ(Unlock(*atTheCap, "pw", key), 0);
        EXPECT_EQ(key, expected);
    }

    const std::pair<const char*, Bytes> over[] = {
        {"PBKDF2, one iteration over", WithCost(pbkdf2, {.iterations = 1000001})},
        {"PBKDF2, 2^31 - 1 iterations", WithCost(pbkdf2, {.iterations = 0x7FFFFFFF})},
        {"PBKDF2, 2^64 - 1 iterations", WithCost(pbkdf2, {.iterations = UINT64_MAX})},
        {"PKCS#12 PBE, 2^31 - 1 iterations", WithCost(pkcs12, {.iterations = 0x7FFFFFFF})},
        {"PBES1, 2^31 - 1 iterations", WithCost(pbes1, {.iterations = 0x7FFFFFFF})},
        {"scrypt, 64 MiB", WithCost(scrypt, {.n = 65536, .r = 8, .p = 1})},
        {"scrypt, 2^28 blocks in 2 MiB", WithCost(scrypt, {.n = 16384, .r = 1, .p = 16384})},
        {"scrypt, 2^20 blocks and one more lane", WithCost(scrypt, {.n = 16384, .r = 8, .p = 9})},
        {"scrypt, N of 2^40", WithCost(scrypt, {.n = uint64_t(1) << 40, .r = 1, .p = 1})},
        // Zero iterations or no lanes at all is a damaged key, not a cheap one.
        {"PBKDF2, no iterations", WithCost(pbkdf2, {.iterations = 0})},
        {"scrypt, no lanes", WithCost(scrypt, {.n = 16384, .r = 8, .p = 0})},
    };
    for (const auto& [what, der] : over) {
        SCOPED_TRACE(what);
        EXPECT_EQ(Unlock(der, "pw", key), err::kUnsupportedKeyEncryption);
    }
}

// A planted medium holds the victim's certificate beside the attacker's key, encrypted under a
// password the attacker knows. A context that was given the certificate unlocks only the
// certificate's own key, so that password proves nothing about the certificate.
TEST_F(PrivateKeys, AContextGivenACertificateUnlocksOnlyThatCertificatesKey) {
    Credential attacker = shared_->root.Issue("Attacker", KeyKind::Rsa);
    Bytes attackerKey = EncryptOne(attacker.keyPem, "attacker", "-v2 aes-256-cbc");
    for (const Credential* victim : {&shared_->rsa, &shared_->ec}) {
        SCOPED_TRACE(victim->name);
        Bytes victimKey = EncryptOne(victim->keyPem, "victim", "-v2 aes-256-cbc");
        Bytes victimCert = victim->Der();
        Context context;
        Bytes key;
        auto parse = [&](const Bytes& der) {
            ByteBuffer cert = In(der);
            int32_t version = 0;
            int32_t bits = 0;
            return CV_ParseCertificate(context.get(), &cert, 0, &version, &bits);
        };
        auto unlock = [&](const Bytes& encrypted, const char* password) {
            return Unlock(encrypted, password, key, context.get());
        };
        ASSERT_EQ(parse(victimCert), 0);
        EXPECT_EQ(unlock(attackerKey, "attacker"), err::kKeyNotForCertificate);
        EXPECT_TRUE(key.empty());
        EXPECT_EQ(unlock(victimKey, "attacker"), err::kWrongPassword);
        ASSERT_EQ(unlock(victimKey, "victim"), 0);
        EXPECT_EQ(key, PlainPkcs8(victim->keyPem));

        // Another certificate replaces the first.
        ASSERT_EQ(parse(attacker.Der()), 0);
        EXPECT_EQ(unlock(attackerKey, "attacker"), 0);
        EXPECT_EQ(unlock(victimKey, "victim"), err::kKeyNotForCertificate);

        // A certificate the engine cannot read leaves no certificate to fall back on.
        EXPECT_EQ(parse(Bytes(victimCert.begin(), victimCert.begin() + 100)), err::kBadCertificate);
        EXPECT_EQ(unlock(attackerKey, "attacker"), err::kKeyNotForCertificate);
        EXPECT_EQ(unlock(victimKey, "victim"), err::kKeyNotForCertificate);

        // A context released and initialised again holds no certificate: keys alone, as ever.
        ASSERT_EQ(CV_ContextFree(context.get()), 0);
        ASSERT_EQ(CV_ContextInit(context.get()), 0);
        EXPECT_EQ(unlock(attackerKey, "attacker"), 0);
    }
}

} // namespace
