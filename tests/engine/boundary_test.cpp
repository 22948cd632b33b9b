// What every caller relies on at the engine's boundary: contexts, block ownership, and failure
// codes (never a crash) for null pointers, negative lengths and empty inputs; and that the
// host's own OpenSSL state is left alone.
#include "tests/engine/engine_test.h"

#include "engine/core/pool.h"
#include "platform/ciphers.h"

#include <openssl/err.h>
#include <openssl/provider.h>

#include <array>
#include <atomic>
#include <thread>

namespace {

using namespace engine_test;

constexpr int32_t kAes = qm::FindCipher("AES")->id;
constexpr int32_t kSeed = qm::FindCipher("SEED")->id;

// Runs `body(t)` for t from 0 to 3 on threads of its own at once, and waits for them all.
template <typename Body> void OnFourThreads(Body body) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(body, t);
    }
}

TEST(Contexts, InitWritesOnlyTheThreeWordsAndFreeReleasesOnce) {
    struct Embedded {
        std::array<uint8_t, 16> before;
        EngineContext context;
        std::array<uint8_t, 16> after;
    } object;
    std::memset(&object, 0xEE, sizeof object);
    std::memset(&object.context, 0xCD, sizeof object.context);
    ASSERT_EQ(CV_ContextInit(&object.context), 0);
    EXPECT_EQ(std::count(object.before.begin(), object.before.end(), 0xEE), 16);
    EXPECT_EQ(std::count(object.after.begin(), object.after.end(), 0xEE), 16);
    EngineContext copy = object.context;
    EXPECT_EQ(CV_ContextFree(&object.context), 0);
    EXPECT_EQ(CV_ContextFree(&object.context), err::kBadContext);
    EXPECT_EQ(CV_ContextFree(&copy), err::kBadContext);
}

TEST(Contexts, UnusableContextsFailEveryPublicKeyFunction) {
    EngineContext zeros{};
    EngineContext garbage;
    std::memset(&garbage, 0xA5, sizeof garbage);
    EngineContext released{};
    ASSERT_EQ(CV_ContextInit(&released), 0);
    EngineContext stale = released;
    ASSERT_EQ(CV_ContextFree(&released), 0);
    // A new context may take the released slot; the stale copy must still not name it.
    Context reuser;

    Bytes bytes(64, 0x30);
    ByteBuffer in = In(bytes);
    for (EngineContext* context :
         {&zeros, &garbage, &stale, static_cast<EngineContext*>(nullptr)}) {
        int32_t expected = context == nullptr ? err::kNullArgument : err::kBadContext;
        Out out;
        Text detail;
        int32_t a = 0;
        int32_t b = 0;
        EXPECT_EQ(CV_EncryptForCertificate(context, &in, &in, &out), expected);
        EXPECT_EQ(CV_DecryptPrivateKey(context, &in, &in, &out), expected);
        EXPECT_EQ(CV_ParseCertificate(context, &in, 0, &a, &b), expected);
        EXPECT_EQ(CV_VerifyCertificate(context, &in, &in, &in, &in, &detail), expected);
        EXPECT_NE(Str(detail), "");
        EXPECT_EQ(CV_ContextFree(context), expected);
    }
}

TEST(Contexts, ManyThreadsOpenAndCloseContextsAtOnce) {
    std::atomic<int> failures{0};
    OnFourThreads([&failures](int) {
        std::vector<EngineContext> contexts(200);
        for (int round = 0; round < 20; ++round) {
            for (EngineContext& c : contexts) {
                failures += CV_ContextInit(&c) != 0;
            }
            for (EngineContext& c : contexts) {
                failures += CV_ContextFree(&c) != 0;
            }
        }
    });
    EXPECT_EQ(failures.load(), 0);
}

TEST(Blocks, FreeAcceptsNullAndRefusesWhatTheEngineDoesNotHold) {
    EXPECT_EQ(CV_Free(nullptr), 0);
    uint8_t* block = nullptr;
    ASSERT_EQ(CV_RandomBytes(kRandomSource, 32, &block), 0);
    EXPECT_EQ(CV_Free(block), 0);
    EXPECT_EQ(CV_Free(block), err::kUnknownBlock); // twice
    int local = 0;
    EXPECT_EQ(CV_Free(&local), err::kUnknownBlock); // never the engine's
    Bytes heap(10);
    EXPECT_EQ(CV_Free(heap.data()), err::kUnknownBlock);
}

TEST(Blocks, EmptyResultsAreWellDefined) {
    // Encoding nothing is the empty text, a real block that must be released.
    ByteBuffer empty{0, nullptr};
    Text text;
    ASSERT_EQ(CV_Base64Encode(&empty, &text), 0);
    ASSERT_NE(text.get(), nullptr);
    EXPECT_STREQ(text.get(), "");
    // Enciphering nothing gives one block of padding, which deciphers back to nothing.
    Bytes key(32, 3);
    Out sealed;
    ASSERT_EQ(CV_Encrypt(kAes, key.data(), key.data(), &empty, &sealed), 0);
    EXPECT_EQ(sealed.get().length, 16);
    ByteBuffer in = sealed.get();
    Out opened;
    ASSERT_EQ(CV_Decrypt(kAes, key.data(), key.data(), &in, &opened), 0);
    EXPECT_EQ(opened.get().length, 0);
    EXPECT_EQ(opened.get().data, nullptr);
}

// Every function with every pointer null and every length unusable: a code, never a crash.
TEST(Arguments, NullPointersAndNegativeLengthsAreRefused) {
    Context context;
    ASSERT_EQ(context.initResult(), 0);
    EngineContext* c = context.get();
    uint8_t byte = 0x30;
    ByteBuffer negative{-1, &byte};
    ByteBuffer dangling{5, nullptr};
    ByteBuffer good{1, &byte};
    int32_t word = 0;
    Out out;
    Text text;
    uint8_t key[32] = {};

    for (const ByteBuffer* bad :
         std::initializer_list<const ByteBuffer*>{nullptr, &negative, &dangling}) {
        int32_t expected = bad == &negative ? err::kNegativeLength : err::kNullArgument;
        EXPECT_EQ(CV_Base64Encode(bad, &text), expected);
        EXPECT_EQ(text.get(), nullptr);
        EXPECT_EQ(CV_PemEncode(bad, 1, &text), expected);
        EXPECT_EQ(text.get(), nullptr);
        EXPECT_EQ(CV_Digest(101, bad, &out), expected);
        EXPECT_EQ(CV_Encrypt(kAes, key, key, bad, &out), expected);
        EXPECT_EQ(CV_Decrypt(kAes, key, key, bad, &out), expected);
        EXPECT_EQ(CV_EncryptForCertificate(c, bad, &good, &out), expected);
        EXPECT_EQ(CV_EncryptForCertificate(c, &good, bad, &out), expected);
        EXPECT_EQ(CV_DecryptPrivateKey(c, bad, &good, &out), expected);
        EXPECT_EQ(CV_DecryptPrivateKey(c, &good, bad, &out), expected);
        EXPECT_EQ(CV_ParseCertificate(c, bad, 0, &word, &word), expected);
        EXPECT_EQ(CV_VerifyCertificate(c, bad, &good, &good, &good, &text), expected);
        EXPECT_EQ(CV_VerifyCertificate(c, &good, bad, &good, &good, &text), expected);
        if (bad != nullptr) { // a null CRL or ARL means "none given"
            EXPECT_EQ(CV_VerifyCertificate(c, &good, &good, bad, &good, &text), expected);
            EXPECT_EQ(CV_VerifyCertificate(c, &good, &good, &good, bad, &text), expected);
        }
        EXPECT_EQ(out.get().data, nullptr);
    }

    EXPECT_EQ(CV_ContextInit(nullptr), err::kNullArgument);
    EXPECT_EQ(CV_Base64Encode(&good, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_Base64Decode(nullptr, &out), err::kNullArgument);
    EXPECT_EQ(CV_Base64Decode("YWJj", nullptr), err::kNullArgument);
    EXPECT_EQ(CV_PemDecode(nullptr, &out), err::kNullArgument);
    EXPECT_EQ(CV_PemDecode("-----BEGIN X-----", nullptr), err::kNullArgument);
    EXPECT_EQ(CV_PemEncode(&good, 1, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_Digest(101, &good, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_DigestId(nullptr, &word), err::kNullArgument);
    EXPECT_EQ(CV_DigestId("SHA1", nullptr), err::kNullArgument);
    EXPECT_EQ(CV_CipherId(nullptr, &word), err::kNullArgument);
    EXPECT_EQ(CV_CipherId("AES", nullptr), err::kNullArgument);
    EXPECT_EQ(CV_IvLength(kAes, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_KeyLength(kAes, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_RandomBytes(kRandomSource, 32, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_Encrypt(kAes, key, key, &good, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_EncryptForCertificate(c, &good, &good, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_DecryptPrivateKey(c, &good, &good, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_ParseCertificate(c, &good, 0, nullptr, &word), err::kNullArgument);
    EXPECT_EQ(CV_ParseCertificate(c, &good, 0, &word, nullptr), err::kNullArgument);
    EXPECT_EQ(CV_VerifyCertificate(c, &good, &good, &good, &good, nullptr), err::kNullArgument);
}

TEST(Arguments, EmptyInputsWhereSomethingIsNeededAreRefused) {
    Context context;
    ByteBuffer empty{0, nullptr};
    ByteBuffer emptyWithData{0, reinterpret_cast<uint8_t*>(&context)};
    uint8_t key[32] = {};
    for (const ByteBuffer* e : {&empty, &emptyWithData}) {
        Out out;
        Text text;
        int32_t a = 0;
        EXPECT_EQ(CV_PemEncode(e, 1, &text), err::kEmptyInput);
        EXPECT_EQ(CV_Decrypt(kAes, key, key, e, &out), err::kEmptyInput);
        EXPECT_EQ(CV_EncryptForCertificate(context.get(), e, e, &out), err::kEmptyInput);
        EXPECT_EQ(CV_DecryptPrivateKey(context.get(), e, e, &out), err::kEmptyInput);
        EXPECT_EQ(CV_ParseCertificate(context.get(), e, 0, &a, &a), err::kEmptyInput);
        EXPECT_EQ(CV_VerifyCertificate(context.get(), e, e, e, e, &text), err::kEmptyInput);
        EXPECT_EQ(CV_PemDecode("", &out), err::kBadPem);
    }
}

// The Windows build's allocator (pool.h), exercised directly: OpenSSL's pieces are reused by size
// and wiped when freed, a large block is kept for the next request it fits (wiped too: a large
// block may hold secrets as well), and what a block holds survives growing it.
TEST(Pool, FreedBlocksAreWipedAndPiecesReusedAndLargeBlocksSpared) {
    auto* piece = static_cast<uint8_t*>(pool::Allocate(100));
    ASSERT_NE(piece, nullptr);
    EXPECT_GE(pool::Capacity(piece), 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(piece) % alignof(std::max_align_t), 0u);
    std::memset(piece, 0xAB, 100);
    pool::Release(piece);
    auto* again = static_cast<uint8_t*>(pool::Allocate(97));
    ASSERT_EQ(again, piece);
    for (size_t i = sizeof(void*); i < 100; ++i) { // the first word links the free pieces
        ASSERT_EQ(again[i], 0) << i;
    }
    std::memset(again, 0x5C, 97);
    auto* grown = static_cast<uint8_t*>(pool::Reallocate(again, 5000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::count(grown, grown + 97, 0x5C), 97);
    pool::Release(grown);

    auto* large = static_cast<uint8_t*>(pool::Allocate(1 << 20));
    std::memset(large, 0xC3, 1 << 20);
    pool::Release(large);
    void* smaller = pool::Allocate(100 * 1024); // far smaller: the spare waits for a larger one
    EXPECT_NE(smaller, large);
    auto* fitting = static_cast<uint8_t*>(pool::Allocate((1 << 20) - 4096));
    ASSERT_EQ(fitting, large);
    EXPECT_EQ(std::count(fitting, fitting + (1 << 20) - 4096, 0), (1 << 20) - 4096);
    pool::Release(smaller);
    pool::Release(fitting);
}

TEST(Pool, ManyThreadsAllocateGrowAndReleaseAtOnce) {
    std::atomic<int> damaged{0};
    OnFourThreads([&damaged](int t) {
        std::mt19937 random(t);
        std::vector<std::pair<uint8_t*, size_t>> held;
        for (int i = 0; i < 20000; ++i) {
            if (held.size() > 50 || (!held.empty() && random() % 3 == 0)) {
                auto [block, size] = held[random() % held.size()];
                uint8_t mark = static_cast<uint8_t>(size);
                damaged += std::count(block, block + size, mark) != std::ptrdiff_t(size);
                std::erase(held, std::pair{block, size});
                pool::Release(block);
                continue;
            }
            size_t size = random() % 2 == 0 ? random() % 1500 : random() % 200000;
            auto* block = static_cast<uint8_t*>(pool::Allocate(size));
            std::memset(block, static_cast<uint8_t>(size), size);
            held.emplace_back(block, size);
        }
        for (auto [block, size] : held) {
            pool::Release(block);
        }
    });
    EXPECT_EQ(damaged.load(), 0);
}

// A host that uses OpenSSL itself keeps its error queue and its default library context.
TEST(Host, OpensslStateOfTheHostIsLeftAlone) {
    ERR_clear_error();
    ERR_raise_data(ERR_LIB_USER, 42, "the host's own error");
    Out out;
    EXPECT_EQ(CV_PemDecode("-----BEGIN X-----\n!!!!\n-----END X-----\n", &out), err::kBadPem);
    Bytes junk(40, 0x30);
    ByteBuffer in = In(junk);
    Context context;
    EXPECT_EQ(CV_EncryptForCertificate(context.get(), &in, &in, &out), err::kBadCertificate);
    EXPECT_EQ(CV_DecryptPrivateKey(context.get(), &in, &in, &out), err::kBadPrivateKey);
    unsigned long only = ERR_get_error();
    EXPECT_EQ(ERR_GET_LIB(only), ERR_LIB_USER);
    EXPECT_EQ(ERR_GET_REASON(only), 42);
    EXPECT_EQ(ERR_get_error(), 0u);

    // SEED lives in the legacy provider, which the engine loads into its own context only.
    uint8_t key[16] = {};
    ByteBuffer plain{16, key};
    ASSERT_EQ(CV_Encrypt(kSeed, key, key, &plain, &out), 0);
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
}

} // namespace
