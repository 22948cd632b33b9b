// What every caller of the store gets from the binding, whatever the store (here its double)
// answers: a listing count that fits the caller's 30-entry area, a block length that fits the
// caller's 3,000-byte block, the caller's own block back, and a text that ends in its buffer.
// The attacks are the answers a damaged or hostile Ledra.dll could give.
#include "external/store.h"
#include "tests/crypto/doubles_test.h"

#include <climits>
#include <cstring>
#include <memory>
#include <utility>

namespace {

using StoreBindingTest = DoublesTest;

// Each store function that fills a caller's block, called as its callers call it, and what the
// store double answers it.
struct BlockCall {
    const char* name;
    int32_t (*call)(ByteBuffer* output);
    qmtest::StoreRead qmtest::StoreDouble::*answer;
};

const BlockCall kBlockCalls[] = {
    {"LD_GetMyCert",
     [](ByteBuffer* output) {
         return qm::Store().LD_GetMyCert("cn=x", 0, 1, qm::kDefaultSiteCode, qm::kStorePassword,
                                         output);
     },
     &qmtest::StoreDouble::myCert},
    {"LD_GetCert", [](ByteBuffer* output) { return qm::Store().LD_GetCert("cn=x", 1, output); },
     &qmtest::StoreDouble::cert},
    {"LD_GetKey",
     [](ByteBuffer* output) {
         return qm::Store().LD_GetKey("cn=x", 0, 1, qm::kDefaultSiteCode, qm::kStorePassword,
                                      output);
     },
     &qmtest::StoreDouble::key},
};

constexpr int32_t kHostileLengths[] = {-1, 0, qm::kStoreBlockSize, qm::kStoreBlockSize + 1,
                                       INT_MAX};

TEST_F(StoreBindingTest, ABlockIsHandedBackOnlyWithALengthThatFitsIt) {
    for (const BlockCall& c : kBlockCalls) {
        (store().*c.answer).bytes = Bytes("certificate or key");
        for (int32_t reported : kHostileLengths) {
            SCOPED_TRACE(std::string(c.name) + " reporting " + std::to_string(reported));
            (store().*c.answer).reportedLength = reported;
            qm::StoreBlock block;
            uint8_t* mine = block.buffer.data;
            bool fits = reported >= 0 && reported <= qm::kStoreBlockSize;
            EXPECT_EQ(c.call(&block.buffer), fits ? 0 : qm::kStoreBlockRefused);
            EXPECT_EQ(block.buffer.length, fits ? reported : 0);
            EXPECT_EQ(block.buffer.data, mine);
            EXPECT_EQ(store().calls.back().function, c.name);
        }
    }
}

TEST_F(StoreBindingTest, AFailedCallLeavesNoLengthToTrust) {
    for (const BlockCall& c : kBlockCalls) {
        (store().*c.answer).result = -2010;
        for (int32_t reported : kHostileLengths) {
            SCOPED_TRACE(std::string(c.name) + " reporting " + std::to_string(reported));
            (store().*c.answer).reportedLength = reported;
            qm::StoreBlock block;
            EXPECT_EQ(c.call(&block.buffer), -2010) << "the store's own code is passed on";
            EXPECT_EQ(block.buffer.length, 0);
        }
    }
}

TEST_F(StoreBindingTest, AStoreThatHandsBackABlockOfItsOwnIsRefused) {
    // Freeing or wiping the store's block as if it were the caller's would corrupt the heap.
    static uint8_t storesOwn[16];
    store().handBack = storesOwn;
    for (const BlockCall& c : kBlockCalls) {
        SCOPED_TRACE(c.name);
        (store().*c.answer).bytes = Bytes("cert");
        qm::StoreBlock block;
        uint8_t* mine = block.buffer.data;
        EXPECT_EQ(c.call(&block.buffer), qm::kStoreBlockRefused);
        EXPECT_EQ(block.buffer.data, mine);
        EXPECT_EQ(block.buffer.length, 0);
    }
}

TEST_F(StoreBindingTest, WithoutABlockTheStoreIsNotAsked) {
    for (const BlockCall& c : kBlockCalls) {
        SCOPED_TRACE(c.name);
        ByteBuffer none{0, nullptr};
        EXPECT_EQ(c.call(&none), qm::kStoreBlockRefused);
        EXPECT_EQ(c.call(nullptr), qm::kStoreBlockRefused);
    }
    EXPECT_TRUE(store().calls.empty());
}

TEST_F(StoreBindingTest, AListingNeverCountsMoreEntriesThanTheAreaHolds) {
    auto area = std::make_unique<CertInfoRecord[]>(qm::kMaxListEntries);
    auto dns = std::make_unique<char[]>(qm::kDnAreaSize);
    const std::pair<int32_t, int32_t> counts[] = {
        {-1, -1}, {0, 0}, {30, 30}, {31, 30}, {INT_MAX, 30}};
    for (auto [reported, seen] : counts) {
        SCOPED_TRACE("reporting " + std::to_string(reported));
        store().reportedCount = reported;
        EXPECT_EQ(qm::Store().LD_GetKeyDN(0, dns.get(), 0, 700), seen);
        EXPECT_EQ(qm::Store().LD_GetKeyInfo(0, area.get(), 0, 0, qm::kStorePassword), seen);
        EXPECT_EQ(qm::Store().LD_GetCertInfo(1, area.get(), 0), seen);
    }
}

TEST_F(StoreBindingTest, ARegistryTextEndsWithinItsBuffer) {
    store().unterminatedText = true;
    char text[qm::kRegTextSize];
    qm::Store().LD_GetRegValueSZ("Veyra\\Brindel", "b", text);
    EXPECT_EQ(std::strlen(text), size_t(qm::kRegTextSize - 1));
}

} // namespace
