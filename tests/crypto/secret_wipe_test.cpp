// Secrets never go back to the allocator readable: every block the crypto objects release is
// scanned at the moment it is freed for the key, IV, password and plaintext that a test put in,
// and none may still be there. The objects run over the real engine core.
#include "crypto/CertLoader.h"
#include "crypto/Credential.h"
#include "crypto/SessionKey.h"
#include "engine/core/passwords.h"
#include "external/engine.h"
#include "external/store.h"
#include "platform/ciphers.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

std::atomic<bool> g_watching{false};
std::atomic<int> g_found{0};
std::vector<uint8_t>* g_secrets = nullptr; // patterns looked for while watching

void Scan(void* block) {
    if (block == nullptr || !g_watching.load() || g_secrets == nullptr) {
        return;
    }
    g_watching = false; // the scan itself must not be scanned
    size_t size = malloc_usable_size(block);
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    const std::vector<uint8_t>& secret = *g_secrets;
    if (size >= secret.size() &&
        std::search(bytes, bytes + size, secret.begin(), secret.end()) != bytes + size) {
        ++g_found;
    }
    g_watching = true;
}

} // namespace

void* operator new(size_t size) {
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    Scan(p);
    std::free(p);
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}
void operator delete[](void* p, size_t) noexcept {
    operator delete(p);
}

namespace {

// Watches every release in its scope for one secret (8 distinctive bytes of it suffice).
class Watch {
public:
    explicit Watch(const uint8_t* secret, size_t size) : pattern_(secret, secret + size) {
        g_found = 0;
        g_secrets = &pattern_;
        g_watching = true;
    }
    ~Watch() { Stop(); }
    int Stop() {
        g_watching = false;
        g_secrets = nullptr;
        return g_found.load();
    }

private:
    std::vector<uint8_t> pattern_;
};

int32_t CipherId(const char* name) {
    int32_t id = 0;
    EXPECT_EQ(0, qm::Engine().CV_CipherId(name, &id));
    return id;
}

std::vector<uint8_t> KeyMaterial() {
    std::vector<uint8_t> bytes(32);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(0xC3 ^ (i * 37));
    }
    return bytes;
}

TEST(SecretWipe, KeyIvAndKeyMaterialAreWipedWhenReplacedAndWhenDestroyed) {
    std::vector<uint8_t> first = KeyMaterial();
    std::vector<uint8_t> second(32, 0x11);
    for (const qm::CipherRow& algorithm : qm::kCiphers) {
        if (!qm::CanEnvelope(algorithm)) {
            continue; // its key and IV do not fit in the 32 bytes
        }
        const char* name = algorithm.name;
        // Key bytes (the first 8) and IV bytes (the last 8).
        size_t lastIvBytes = size_t(algorithm.keyLength + algorithm.ivLength - 8);
        for (size_t offset : {size_t(0), lastIvBytes}) {
            Watch watch(first.data() + offset, 8);
            {
                CSessionCipher cipher(CipherId(name));
                ASSERT_EQ(0, cipher.SetKeyMaterial(first.data(), 32));
                ASSERT_NE(nullptr, cipher.GetKeyMaterialText());
                ASSERT_EQ(0, cipher.SetKeyMaterial(second.data(), 32)); // replaces the first
            }
            EXPECT_EQ(0, watch.Stop()) << name << ": a released block still held key bytes";
        }
    }
}

TEST(SecretWipe, PlaintextCopiesAreWipedAfterEncipherAndDecipher) {
    std::vector<uint8_t> material = KeyMaterial();
    const char* text = "The quarterly figures: 7301 and 4452, not for publication.";
    Watch watch(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    std::string cipherText;
    {
        CSessionCipher cipher(CipherId("SEED"));
        ASSERT_EQ(0, cipher.SetKeyMaterial(material.data(), 32));
        ASSERT_EQ(0, cipher.Encipher(text));
        cipherText = cipher.GetCipherText();
        ASSERT_EQ(0, cipher.Decipher(cipherText.c_str()));
        ASSERT_STREQ(text, cipher.GetPlainText());
        ASSERT_EQ(0, cipher.Decipher(cipherText.c_str())); // replaces the plain text
    }
    EXPECT_EQ(0, watch.Stop()) << "a released block still held the plaintext";
}

TEST(SecretWipe, PasswordCopiesAreWipedWhetherTheUnlockSucceedsOrNot) {
    const char* password = "correct horse battery staple 42";
    Watch watch(reinterpret_cast<const uint8_t*>(password), std::strlen(password));
    {
        CCredential credential;
        uint8_t notAKey[64] = {0x30, 0x03};
        ByteBuffer key{sizeof(notAKey), notAKey};
        EXPECT_NE(0, credential.UnlockPrivateKey(key, password));
    }
    EXPECT_EQ(0, watch.Stop()) << "a released block still held the password";
}

// A page's password in code page 949 is also tried as UTF-8, and the store's tool tries a UTF-8
// password in code page 949 too: the spelling that each of them makes is as secret as the one it
// was given. ("비밀번호1234", in each.)
TEST(SecretWipe, TheOtherSpellingOfAPasswordIsWipedWhetherTheUnlockSucceedsOrNot) {
    const uint8_t cp949[] = {0xBA, 0xF1, 0xB9, 0xD0, 0xB9, 0xF8, 0xC8, 0xA3, '1', '2', '3', '4'};
    const uint8_t utf8[] = {0xEB, 0xB9, 0x84, 0xEB, 0xB0, 0x80, 0xEB, 0xB2,
                            0x88, 0xED, 0x98, 0xB8, '1',  '2',  '3',  '4'};
    {
        Watch watch(utf8, sizeof utf8);
        EngineContext context{};
        ASSERT_EQ(0, qm::Engine().CV_ContextInit(&context));
        uint8_t notAKey[64] = {0x30, 0x03};
        ByteBuffer key{sizeof(notAKey), notAKey};
        ByteBuffer password{sizeof(cp949), const_cast<uint8_t*>(cp949)};
        ByteBuffer opened{0, nullptr};
        EXPECT_NE(0, corvane::DecryptPrivateKeyInCodePage(&context, &key, &password, 949, &opened));
        qm::Engine().CV_ContextFree(&context);
        EXPECT_EQ(0, watch.Stop()) << "a released block still held the UTF-8 spelling";
    }
    {
        Watch watch(cp949, sizeof cp949);
        {
            std::optional<qm::WipedBytes> released = corvane::CodePageFromUtf8(utf8, 949);
            std::optional<qm::WipedBytes> replaced = corvane::CodePageFromUtf8(utf8, 949);
            ASSERT_TRUE(released.has_value() && replaced.has_value());
            ASSERT_EQ(released->size(), sizeof cp949);
            qm::WipedBytes moved = std::move(*replaced);
            moved = qm::WipedBytes(4);
        }
        EXPECT_EQ(0, watch.Stop()) << "a released block still held the code page 949 spelling";
    }
}

// A store that writes a whole key into the caller's block but reports a shorter length: the
// bytes past the reported length are as secret as the rest, and the block is the caller's.
constexpr uint8_t kStoredSecret[] = {0x5E, 0xC7, 0xE7, 0x4B, 0x19, 0xA2, 0x3D, 0x88};
constexpr int kSecretAt = 2992; // the block's last bytes

int32_t QM_CDECL WritesMoreThanItReports(const char*, int32_t, int32_t, int32_t, const char*,
                                         ByteBuffer* output) {
    std::memcpy(output->data + kSecretAt, kStoredSecret, sizeof(kStoredSecret));
    output->length = 16;
    return 0;
}

int32_t QM_CDECL WritesMoreThanItReportsByDn(const char* dn, int32_t kind, ByteBuffer* output) {
    return WritesMoreThanItReports(dn, kind, 0, 0, nullptr, output);
}

TEST(SecretWipe, StoreBlocksAreWipedWholeWhateverLengthTheStoreReports) {
    StoreApi store = qm::LibraryStore();
    store.LD_GetKey = WritesMoreThanItReports;
    store.LD_GetMyCert = WritesMoreThanItReports;
    store.LD_GetCert = WritesMoreThanItReportsByDn;
    qm::BindStoreForTesting(&store);
    {
        Watch watch(kStoredSecret, sizeof(kStoredSecret));
        {
            qm::StoreBlock key;
            ASSERT_EQ(0, qm::Store().LD_GetKey("cn=x", 0, 0, qm::kDefaultSiteCode,
                                               qm::kStorePassword, &key.buffer));
            ASSERT_EQ(16, key.buffer.length);
        }
        {
            CCertLoader loader;
            ASSERT_EQ(0, loader.Load("cn=x", 0, qm::kLoadOwnCertificate, 0));
            ASSERT_EQ(0, loader.Load("cn=y", 1, qm::kLoadByDn, 0)); // replaces the first block
        }
        EXPECT_EQ(0, watch.Stop()) << "a store block went back with bytes past its length";
    }
    qm::BindStoreForTesting(nullptr);
}

} // namespace
