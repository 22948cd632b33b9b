// Algorithm ids, digests, random bytes and the CBC ciphers, checked against `openssl enc`.
#include "platform/ciphers.h"
#include "tests/engine/engine_test.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cctype>
#include <tuple>

namespace {

using namespace engine_test;

using Algorithm = qm::CipherRow;
constexpr auto& kAlgorithms = qm::kCiphers;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

int32_t IdOf(const char* name) {
    int32_t id = -1;
    EXPECT_EQ(CV_CipherId(name, &id), 0) << name;
    return id;
}

int32_t Cipher(bool encrypt, int32_t id, const Bytes& key, const Bytes& iv, const Bytes& input,
               Bytes& output) {
    ByteBuffer in = In(input);
    return Collect(output, [&](ByteBuffer* out) {
        return encrypt ? CV_Encrypt(id, key.data(), iv.data(), &in, out)
                       : CV_Decrypt(id, key.data(), iv.data(), &in, out);
    });
}

TEST(Algorithms, NamesGiveIdsAndLengthsWithoutRegardToCase) {
    std::vector<int32_t> ids;
    for (const Algorithm& a : kAlgorithms) {
        SCOPED_TRACE(a.name);
        int32_t id = IdOf(a.name);
        EXPECT_EQ(id, a.id);
        int32_t same = -1;
        ASSERT_EQ(CV_CipherId(Lower(a.name).c_str(), &same), 0);
        EXPECT_EQ(same, id);
        int32_t key = 0, iv = 0;
        ASSERT_EQ(CV_KeyLength(id, &key), 0);
        ASSERT_EQ(CV_IvLength(id, &iv), 0);
        EXPECT_EQ(key, a.keyLength);
        EXPECT_EQ(iv, a.ivLength);
        EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 0);
        ids.push_back(id);
    }
    int32_t id = 12345;
    for (const char* unknown : {"", "RC4", "AES-128-CBC", "AES 256", "SEED\n", "DESX"}) {
        EXPECT_EQ(CV_CipherId(unknown, &id), err::kUnknownCipher) << unknown;
    }
    EXPECT_EQ(id, 12345);
    int32_t length = 0;
    EXPECT_EQ(CV_KeyLength(0, &length), err::kUnknownCipher);
    EXPECT_EQ(CV_IvLength(999, &length), err::kUnknownCipher);
}

// What the pages and their servers were promised (the README's table): a change of the engine's
// table that breaks it breaks every site's server, and must show here.
TEST(Algorithms, ThePublishedNamesKeepTheirLengths) {
    using Published = std::tuple<const char*, int32_t, int32_t, bool>; // bool: GenerateEx takes it
    for (const auto& [name, keyLength, ivLength, envelopes] :
         {Published{"SEED", 16, 16, true}, Published{"ARIA", 16, 16, true},
          Published{"AES", 16, 16, true}, Published{"3DES", 24, 8, true},
          Published{"DES", 8, 8, true}, Published{"AES256", 32, 16, false}}) {
        SCOPED_TRACE(name);
        const Algorithm* a = qm::FindCipher(name);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->keyLength, keyLength);
        EXPECT_EQ(a->ivLength, ivLength);
        EXPECT_EQ(qm::CanEnvelope(*a), envelopes);
    }
}

// Each row names an OpenSSL CBC cipher whose key and IV are exactly the row's lengths: the engine
// hands the cipher the caller's key and IV by the row's word.
TEST(Algorithms, EachRowIsAnOpenSslCbcCipherOfItsLengths) {
    OSSL_LIB_CTX* library = OSSL_LIB_CTX_new();
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(library, "default");
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(library, "legacy");
    for (const Algorithm& a : kAlgorithms) {
        SCOPED_TRACE(a.name);
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(library, a.evpName, nullptr);
        EXPECT_NE(cipher, nullptr);
        if (cipher != nullptr) {
            EXPECT_TRUE(EVP_CIPHER_get_mode(cipher) == EVP_CIPH_CBC_MODE);
            EXPECT_EQ(EVP_CIPHER_get_key_length(cipher), a.keyLength);
            EXPECT_EQ(EVP_CIPHER_get_iv_length(cipher), a.ivLength);
        }
        EVP_CIPHER_free(cipher);
        EXPECT_EQ(qm::FindCipherById(a.id), &a);
    }
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(standard);
    OSSL_LIB_CTX_free(library);
}

TEST(Digests, KnownAnswersForEveryId) {
    using Vector = std::tuple<const char*, int32_t, const char*, const char*>;
    for (const auto& [name, expectedId, emptyDigest, abcDigest] : {
             Vector{"sha1", 101, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
                    "a9993e364706816aba3e25717850c26c9cd0d89d"},
             Vector{"Sha-256", 102,
                    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
             Vector{"SHA384", 103,
                    "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65"
                    "fbd51ad2f14898b95b",
                    "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc"
                    "2358baeca134c825a7"},
             Vector{"SHA512", 104,
                    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2"
                    "b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e",
                    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1"
                    "a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
         }) {
        SCOPED_TRACE(name);
        int32_t id = 0;
        ASSERT_EQ(CV_DigestId(name, &id), 0);
        EXPECT_EQ(id, expectedId);
        ByteBuffer empty{0, nullptr};
        Out out;
        ASSERT_EQ(CV_Digest(id, &empty, &out), 0);
        EXPECT_EQ(ToHex(out.bytes()), emptyDigest);
        ByteBuffer abc = In("abc");
        ASSERT_EQ(CV_Digest(id, &abc, &out), 0);
        EXPECT_EQ(ToHex(out.bytes()), abcDigest);
    }
    int32_t id = 0;
    EXPECT_EQ(CV_DigestId("MD5", &id), err::kUnknownDigest);
    ByteBuffer abc = In("abc");
    Out out;
    EXPECT_EQ(CV_Digest(100, &abc, &out), err::kUnknownDigest);
    EXPECT_EQ(out.get().data, nullptr);
}

TEST(RandomBytes, GivesFreshBytesFromTheOneSource) {
    Block<uint8_t> a;
    Block<uint8_t> b;
    ASSERT_EQ(CV_RandomBytes(kRandomSource, 32, &a), 0);
    ASSERT_EQ(CV_RandomBytes(kRandomSource, 32, &b), 0);
    EXPECT_NE(std::memcmp(a.get(), b.get(), 32), 0);

    Block<uint8_t> refused;
    EXPECT_EQ(CV_RandomBytes(201, 32, &refused), err::kBadRandomSource);
    EXPECT_EQ(refused.get(), nullptr);
    EXPECT_EQ(CV_RandomBytes(kRandomSource, 0, &refused), err::kEmptyInput);
    EXPECT_EQ(CV_RandomBytes(kRandomSource, -32, &refused), err::kNegativeLength);
    EXPECT_EQ(CV_RandomBytes(kRandomSource, kMaxRandomBytes + 1, &refused), err::kTooLarge);
    EXPECT_EQ(refused.get(), nullptr);
}

// Our ciphertext is byte for byte what `openssl enc` makes, and each side deciphers the other's.
TEST(Ciphers, InteroperateWithOpensslEncInBothDirections) {
    TempDir dir;
    std::mt19937 gen(42);
    for (const Algorithm& a : kAlgorithms) {
        int32_t id = IdOf(a.name);
        for (size_t size : {0, 1, 15, 16, 17, 1000}) {
            SCOPED_TRACE(std::string(a.name) + " " + std::to_string(size));
            Bytes key = RandomBytes(size_t(a.keyLength), gen);
            Bytes iv = RandomBytes(size_t(a.ivLength), gen);
            Bytes plain = RandomBytes(size, gen);
            // `openssl enc` with this cipher, key and IV, from one file of `dir` into another.
            auto enc = [&](const std::string& how, const char* from, const char* to) {
                Openssl("enc " + how + " -" + Lower(a.evpName) + " -K " + ToHex(key) + " -iv " +
                        ToHex(iv) + " -provider legacy -provider default -in " + Q(dir / from) +
                        " -out " + Q(dir / to));
                return ReadBinaryFile(dir / to);
            };

            Bytes ours;
            ASSERT_EQ(Cipher(true, id, key, iv, plain, ours), 0);
            WriteFile(dir / "ours", ours);
            EXPECT_EQ(enc("-d", "ours", "opened"), plain);

            WriteFile(dir / "plain", plain);
            Bytes theirs = enc("-e", "plain", "theirs");
            EXPECT_EQ(theirs, ours);
            Bytes back;
            ASSERT_EQ(Cipher(false, id, key, iv, theirs, back), 0);
            EXPECT_EQ(back, plain);
        }
    }
}

TEST(Ciphers, WrongKeysAndDamagedCiphertextFail) {
    std::mt19937 gen(7);
    for (const Algorithm& a : kAlgorithms) {
        SCOPED_TRACE(a.name);
        int32_t id = IdOf(a.name);
        Bytes key = RandomBytes(size_t(a.keyLength), gen);
        Bytes iv = RandomBytes(size_t(a.ivLength), gen);
        Bytes plain = RandomBytes(100, gen);
        Bytes sealed;
        ASSERT_EQ(Cipher(true, id, key, iv, plain, sealed), 0);

        // CBC padding lets about one wrong key in 256 through, with garbage; never the plaintext.
        int refused = 0;
        for (int i = 0; i < 16; ++i) {
            Bytes wrong = RandomBytes(key.size(), gen);
            Bytes opened;
            int32_t rc = Cipher(false, id, wrong, iv, sealed, opened);
            refused += rc != 0;
            EXPECT_TRUE(rc != 0 ? rc == err::kDecryptFailed : opened != plain) << rc;
        }
        EXPECT_GE(refused, 14);

        Bytes opened;
        Bytes cut(sealed.begin(), sealed.end() - 1);
        EXPECT_EQ(Cipher(false, id, key, iv, cut, opened), err::kDecryptFailed);
        EXPECT_EQ(Cipher(false, id, key, iv, {}, opened), err::kEmptyInput);
        Bytes lastBlockFlipped = sealed;
        lastBlockFlipped.back() ^= 0x5a;
        int32_t rc = Cipher(false, id, key, iv, lastBlockFlipped, opened);
        EXPECT_TRUE(rc == err::kDecryptFailed || opened != plain);
    }
}

TEST(Ciphers, UnknownIdsAndMissingKeysAreRefused) {
    Bytes key(32, 1);
    Bytes plain(10, 2);
    ByteBuffer in = In(plain);
    Out out;
    EXPECT_EQ(CV_Encrypt(0, key.data(), key.data(), &in, &out), err::kUnknownCipher);
    EXPECT_EQ(CV_Decrypt(77, key.data(), key.data(), &in, &out), err::kUnknownCipher);
    int32_t aes = IdOf("AES");
    EXPECT_EQ(CV_Encrypt(aes, nullptr, key.data(), &in, &out), err::kNullArgument);
    EXPECT_EQ(CV_Encrypt(aes, key.data(), nullptr, &in, &out), err::kNullArgument);
    EXPECT_EQ(CV_Encrypt(aes, key.data(), key.data(), nullptr, &out), err::kNullArgument);
    EXPECT_EQ(CV_Encrypt(aes, key.data(), key.data(), &in, nullptr), err::kNullArgument);
    EXPECT_EQ(out.get().data, nullptr);
}

} // namespace
