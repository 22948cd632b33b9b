// The store core over a store that the store tool made: what Quillmark's callers get back.
#include "store_fixture.h"

#include "store/core/ledra.h"
#include "store/tool/demo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

namespace ledra::test {
namespace {

using ::testing::Contains;

// "cn=홍길동,ou=Users,o=Quillmark Demo,c=KR" as code page 949 spells it.
const std::string kHongCp949 = "cn=\xC8\xAB\xB1\xE6\xB5\xBF,ou=Users,o=Quillmark Demo,c=KR";
const std::string kHongUtf8 = "cn=홍길동,ou=Users,o=Quillmark Demo,c=KR";
const std::string kServerDn = "cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR";
const std::string kCa1Dn = "cn=Quillmark Demo CA 1,o=Quillmark Demo,c=KR";
constexpr int kDemoUsers = 6;

class DemoStore : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new ScratchFolder();
        ToolRun run = RunTool({"--store", folder_->path().string(), "demo"});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    void SetUp() override {
        SetStoreRootOverride(folder_->path().string());
        SetAnsiCodePage(949);
    }
    void TearDown() override {
        SetStoreRootOverride("");
        SetAnsiCodePage(65001);
    }

    static ScratchFolder* folder_;
};

ScratchFolder* DemoStore::folder_ = nullptr;

TEST_F(DemoStore, ListsTheUsersDnsInTheAnsiCodePage) {
    DnArea area;
    int32_t count = LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 700);
    ASSERT_EQ(count, kDemoUsers);
    for (int i = 0; i < count; ++i) {
        const char* slot = area.get() + i * qm::kDnSlotSize;
        size_t length = strnlen(slot, qm::kDnSlotSize);
        ASSERT_LT(length, size_t(qm::kDnSlotSize));
        for (size_t j = length; j < size_t(qm::kDnSlotSize); ++j) {
            EXPECT_EQ(slot[j], '\0') << "slot " << i << " keeps stale bytes after its DN";
        }
    }
    EXPECT_THAT(area.Dns(count), Contains(kHongCp949));
    EXPECT_THAT(area.Dns(count), Contains("cn=Demo User,ou=Users,o=Quillmark Demo,c=KR"));
    // Slots beyond the count are the caller's own.
    EXPECT_EQ(area.bytes[size_t(count) * qm::kDnSlotSize], kGuard);

    SetAnsiCodePage(65001);
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), kDemoUsers);
    EXPECT_THAT(area.Dns(kDemoUsers), Contains(kHongUtf8));
}

TEST_F(DemoStore, RecordsCarryBothDnsAndTheExpiryAtTheirOffsets) {
    Guarded<CertInfoRecord> records;
    int32_t count = LD_GetKeyInfo(qm::kKindOwn, records.get(), 0, 700, "5821");
    ASSERT_EQ(count, kDemoUsers);
    const CertInfoRecord* hong = nullptr;
    for (int i = 0; i < count; ++i) {
        const auto* raw = reinterpret_cast<const uint8_t*>(&records.get()[i]);
        for (auto [from, to] : {std::pair{0, 100}, {616, 680}}) {
            for (int j = from; j < to; ++j) {
                ASSERT_EQ(raw[j], 0) << "reserved byte " << j;
            }
        }
        if (kHongCp949 == reinterpret_cast<const char*>(raw + 100)) {
            hong = &records.get()[i];
        }
    }
    ASSERT_NE(hong, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(hong) + 356, kCa1Dn.c_str());

    Block cert;
    ASSERT_EQ(LD_GetMyCert(kHongCp949.c_str(), qm::kKindOwn, 0, 700, "5821", &cert.buffer), 0);
    X509Ptr x = ParseCertificate(cert.Delivered());
    ASSERT_TRUE(x);
    int32_t expiry;
    std::memcpy(&expiry, reinterpret_cast<const uint8_t*>(hong) + 612, sizeof(expiry));
    EXPECT_EQ(expiry, ClampTime32(*NotAfter(x.get())));

    // The recipients' listing serves the selection dialog (site code 0 there).
    ASSERT_EQ(LD_GetCertInfo(qm::kKindRecipient, records.get(), 0), 1);
    EXPECT_STREQ(records.get()->subjectDN, kServerDn.c_str());
    EXPECT_STREQ(records.get()->issuerDN, kCa1Dn.c_str());
}

TEST_F(DemoStore, HandsOutTheCertificateAndTheKeyThatOpensWithTheDemoPassword) {
    Block cert, key;
    ASSERT_EQ(LD_GetMyCert(kHongCp949.c_str(), qm::kKindOwn, 0, 700, "5821", &cert.buffer), 0);
    ASSERT_EQ(LD_GetKey(kHongCp949.c_str(), qm::kKindOwn, 0, 700, "5821", &key.buffer), 0);
    EXPECT_TRUE(cert.GuardIntact());
    EXPECT_TRUE(key.GuardIntact());

    X509Ptr x = ParseCertificate(cert.Delivered());
    ASSERT_TRUE(x);
    pki::PkeyPtr opened = pki::DecryptPrivateKey(key.Delivered(), pki::Secret(demo::kPassword));
    ASSERT_TRUE(opened) << "the key does not open with the demo password";
    EXPECT_TRUE(pki::KeyMatchesCertificate(opened.get(), x.get()));
    EXPECT_FALSE(pki::DecryptPrivateKey(key.Delivered(), pki::Secret("wrong")));

    // The certificate without a medium: LD_GetCert reads medium 0 for kind 0.
    Block again;
    ASSERT_EQ(LD_GetCert(kHongCp949.c_str(), qm::kKindOwn, &again.buffer), 0);
    EXPECT_EQ(again.buffer.length, cert.buffer.length);

    Block server;
    ASSERT_EQ(LD_GetCert(kServerDn.c_str(), qm::kKindRecipient, &server.buffer), 0);
    X509Ptr s = ParseCertificate(server.Delivered());
    ASSERT_TRUE(s);
    EXPECT_EQ(NameText(X509_get_subject_name(s.get())), kServerDn);
}

TEST_F(DemoStore, RefusesWhatItCannotServe) {
    Block block;
    const char* dn = kHongCp949.c_str();
    EXPECT_EQ(LD_GetMyCert(dn, qm::kKindOwn, 0, 700, "5820", &block.buffer), err::kWrongPassword);
    EXPECT_EQ(LD_GetMyCert(dn, qm::kKindOwn, 0, 700, nullptr, &block.buffer), err::kWrongPassword);
    EXPECT_EQ(LD_GetKey(dn, qm::kKindOwn, 0, 700, "58210", &block.buffer), err::kWrongPassword);
    EXPECT_EQ(LD_GetMyCert(dn, qm::kKindOwn, 4, 700, "5821", &block.buffer), err::kBadMedium);
    EXPECT_EQ(LD_GetMyCert(dn, qm::kKindOwn, -1, 700, "5821", &block.buffer), err::kBadMedium);
    EXPECT_EQ(LD_GetMyCert(dn, 2, 0, 700, "5821", &block.buffer), err::kBadKind);
    EXPECT_EQ(LD_GetMyCert(nullptr, qm::kKindOwn, 0, 700, "5821", &block.buffer),
              err::kBadArgument);
    EXPECT_EQ(LD_GetMyCert(dn, qm::kKindOwn, 0, 700, "5821", nullptr), err::kBadArgument);
    ByteBuffer noData{0, nullptr};
    EXPECT_EQ(LD_GetCert(dn, qm::kKindOwn, &noData), err::kBadArgument);
    // The DN is compared as the code page spells it: the UTF-8 spelling names nothing here.
    EXPECT_EQ(LD_GetMyCert(kHongUtf8.c_str(), qm::kKindOwn, 0, 700, "5821", &block.buffer),
              err::kNotFound);
    EXPECT_EQ(LD_GetCert("", qm::kKindOwn, &block.buffer), err::kNotFound);
    // A recipient has no key; a user is not a recipient.
    EXPECT_EQ(LD_GetKey(kServerDn.c_str(), qm::kKindRecipient, 0, 700, "5821", &block.buffer),
              err::kNoKey);
    EXPECT_EQ(LD_GetCert(dn, qm::kKindRecipient, &block.buffer), err::kNotFound);
    // Every failure leaves the length at 0 and the block as it was.
    EXPECT_EQ(block.buffer.length, 0);
    EXPECT_EQ(block.bytes[0], kGuard);

    std::vector<char> area(qm::kDnAreaSize, 1);
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, area.data(), 7, 700), err::kBadMedium);
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, nullptr, 0, 700), err::kBadArgument);
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, area.data(), 1, 700), 0) << "medium 1 is empty";
    std::vector<CertInfoRecord> records(qm::kMaxListEntries);
    EXPECT_EQ(LD_GetKeyInfo(qm::kKindOwn, records.data(), 0, 700, "1234"), err::kWrongPassword);
    EXPECT_EQ(LD_GetCertInfo(5, records.data(), 0), err::kBadKind);
    EXPECT_EQ(area[0], 1) << "a failed listing wrote into the area";
}

TEST_F(DemoStore, SiteCodesSelectNothing) {
    std::vector<char> a(qm::kDnAreaSize), b(qm::kDnAreaSize);
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, a.data(), 0, 700), kDemoUsers);
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, b.data(), 0, -123456), kDemoUsers);
    EXPECT_EQ(a, b);
}

} // namespace
} // namespace ledra::test
