// Veyra: the DN list and the hand-out of a certificate once its key's password is proved, over a
// store double and the real engine.
#include "automation/Veyra.h"
#include "external/engine.h"
#include "tests/automation/fixtures.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>

namespace {

using qmtest::Bstr;

struct Text {
    HRESULT hr;
    std::string text; // UTF-16 narrowed to ASCII for comparison, "<null>" for a null result
    bool operator==(const Text&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Text& t) {
        return out << "hr " << t.hr << ", " << t.text;
    }
};

const Text kRefused{S_FALSE, "<null>"};

std::string Ascii(BSTR text) {
    std::string out;
    for (wchar_t c : qmtest::TextOf(text)) {
        out += c < 0x80 ? char(c) : '?';
    }
    return out;
}

Text DnList(Veyra& veyra, const wchar_t* id, int medium, int site = 700) {
    qm::UniqueBstr bid = Bstr(id);
    BSTR result = reinterpret_cast<BSTR>(0x1);
    HRESULT hr = veyra.getDNList(bid.get(), medium, site, &result);
    qm::UniqueBstr owned(result);
    return {hr, Ascii(result)};
}

Text Cert(Veyra& veyra, const wchar_t* dn, const wchar_t* password) {
    qm::UniqueBstr bdn = Bstr(dn), bpw = Bstr(password);
    BSTR result = reinterpret_cast<BSTR>(0x1);
    HRESULT hr = veyra.getCert(bdn.get(), bpw.get(), &result);
    qm::UniqueBstr owned(result);
    return {hr, Ascii(result)};
}

class DirectoryTest : public ::testing::Test {
protected:
    qmtest::StoreDouble store = StoreWithRealRegistry();
    qmtest::ScopedStoreDouble bound{store};
    Standalone<Veyra> veyra;
};

TEST_F(DirectoryTest, ListsEveryDnOrThoseOfOneIdentifier) {
    store.dns = {"CN=Hong,ou=x", "cn=hong2,ou=x", "ou=y,cn=Hong"};
    EXPECT_EQ((Text{S_OK, "CN=Hong,ou=x|cn=hong2,ou=x|ou=y,cn=Hong"}),
              DnList(veyra, nullptr, 2, 1234));
    EXPECT_EQ(2, store.Last("LD_GetKeyDN").medium);
    EXPECT_EQ(1234, store.Last("LD_GetKeyDN").siteCode) << "the site code is passed on unchanged";

    EXPECT_EQ((Text{S_OK, "CN=Hong,ou=x"}), DnList(veyra, L"hong", 0))
        << "case ignored; a comma must follow the identifier";
    EXPECT_EQ(0, CodeOf(veyra));
}

TEST_F(DirectoryTest, FailuresLeaveANullResultAndTheirCode) {
    EXPECT_EQ(kRefused.text, DnList(veyra, L"", 0).text);
    EXPECT_EQ(8, CodeOf(veyra)) << "an empty store";

    store.dns = {"cn=Kim,ou=x"};
    EXPECT_EQ(kRefused, DnList(veyra, L"Hong", 0));
    EXPECT_EQ(32, CodeOf(veyra));

    // A later success leaves the earlier code in place.
    EXPECT_EQ(S_OK, DnList(veyra, L"", 0).hr);
    EXPECT_EQ(32, CodeOf(veyra));
}

TEST_F(DirectoryTest, AnOutOfRangeMediumIsKeptSoGetCertRefusesItToo) {
    store.dns = {"cn=Kim,ou=x"};
    EXPECT_EQ(S_FALSE, DnList(veyra, L"", 4).hr);
    EXPECT_EQ(18, CodeOf(veyra));
    EXPECT_EQ(0, store.Count("LD_GetKeyDN"));

    EXPECT_EQ(S_FALSE, Cert(veyra, L"cn=Kim,ou=x", L"secret").hr);
    EXPECT_EQ(18, CodeOf(veyra));
    EXPECT_EQ(0, store.Count("LD_GetMyCert"));

    EXPECT_EQ(S_FALSE, DnList(veyra, L"", -1).hr);
    EXPECT_EQ(S_OK, DnList(veyra, L"", 3).hr);
    store.myCert.result = -3;
    EXPECT_EQ(S_FALSE, Cert(veyra, L"cn=Kim,ou=x", L"secret").hr);
    EXPECT_EQ(5, CodeOf(veyra)) << "medium 3 is valid again: now the store is asked";
    EXPECT_EQ(3, store.Last("LD_GetMyCert").medium);
}

TEST_F(DirectoryTest, AStoreReportingMoreThanThirtyEntriesIsCutToThirty) {
    for (int i = 0; i < 30; ++i) {
        store.dns.push_back("cn=u" + std::to_string(i) + ",o=x");
    }
    store.reportedCount = 45;
    Text all = DnList(veyra, L"", 0);
    ASSERT_EQ(S_OK, all.hr);
    EXPECT_EQ(29, std::count(all.text.begin(), all.text.end(), '|'));
}

TEST_F(DirectoryTest, GetCertHandsOutPemOnlyAfterThePasswordIsProved) {
    store.myCert.bytes = Fixture("user.der");
    store.key.bytes = Fixture("user.key.p8");
    ASSERT_FALSE(store.myCert.bytes.empty()) << "fixtures missing";

    EXPECT_EQ(kRefused, Cert(veyra, L"cn=Hong,ou=x", L"not-it"));
    EXPECT_EQ(3, CodeOf(veyra));

    EXPECT_EQ(S_FALSE, Cert(veyra, L"cn=Hong,ou=x", L"").hr);
    EXPECT_EQ(3, CodeOf(veyra));
    EXPECT_EQ(2, store.Count("LD_GetKey")) << "the key is read before an empty password fails";

    Text right = Cert(veyra, L"cn=Hong,ou=x", L"secret");
    ASSERT_EQ(S_OK, right.hr);
    EXPECT_EQ(0, CodeOf(veyra));
    EXPECT_EQ("5821", store.Last("LD_GetMyCert").password);
    EXPECT_EQ(700, store.Last("LD_GetMyCert").siteCode);
    EXPECT_EQ(0u, right.text.find("-----BEGIN CERTIFICATE-----"));

    // The PEM decodes to exactly the stored certificate.
    qm::EngineBuffer der;
    ASSERT_EQ(0, qm::Engine().CV_PemDecode(right.text.c_str(), der.out()));
    ASSERT_EQ(store.myCert.bytes.size(), size_t(der->length));
    EXPECT_TRUE(std::equal(store.myCert.bytes.begin(), store.myCert.bytes.end(), der->data));
}

// A planted medium: the victim's certificate beside the attacker's key, encrypted under a
// password the attacker knows. That password opens the key, but the key is not the
// certificate's: the store has no key for the DN, and no certificate is handed out.
TEST_F(DirectoryTest, GetCertRefusesAKeyThatIsNotTheCertificatesOwn) {
    store.myCert.bytes = Fixture("user.der");
    struct Case {
        const char* key;
        const wchar_t* password;
        HRESULT hr;
        int code;
        const char* why;
    };
    const Case cases[] = {
        {"stranger.key.p8", L"attacker", S_FALSE, 2, "the planted key opens, but is another's"},
        {"stranger.key.p8", L"secret", S_FALSE, 3, "the victim's password does not open it"},
        {"user.key.p8", L"secret", S_OK, 0, "the certificate's own key"},
    };
    for (const Case& c : cases) {
        store.key.bytes = Fixture(c.key);
        ASSERT_FALSE(store.key.bytes.empty()) << "fixtures missing";
        Text r = Cert(veyra, L"cn=Hong,ou=x", c.password);
        EXPECT_EQ(c.hr, r.hr) << c.why;
        EXPECT_EQ(c.hr == S_OK, r.text != "<null>") << c.why;
        EXPECT_EQ(c.code, CodeOf(veyra)) << c.why;
        qm::UniqueBstr message;
        ASSERT_EQ(S_OK, veyra.GetErrorString(message.out()));
        if (c.code == 2) {
            EXPECT_EQ("Can not read the Private Key", Ascii(message.get()));
        }
    }
}

TEST_F(DirectoryTest, GetCertReportsWhichStepFailed) {
    store.myCert.result = -7;
    EXPECT_EQ(S_FALSE, Cert(veyra, L"cn=Hong", L"secret").hr);
    EXPECT_EQ(5, CodeOf(veyra));

    store.myCert.result = 0;
    store.myCert.bytes = Fixture("user.der");
    store.key.result = -7;
    EXPECT_EQ(S_FALSE, Cert(veyra, L"cn=Hong", L"secret").hr);
    EXPECT_EQ(2, CodeOf(veyra));

    EXPECT_EQ(S_FALSE, Cert(veyra, nullptr, nullptr).hr) << "null strings count as empty";
}

TEST_F(DirectoryTest, GetCertNeverGoesBeyondTheBlocksTheStoreFills) {
    // A store reporting lengths beyond its 3,000-byte blocks, for the certificate and then for
    // the key: the over-long ones cannot be read, and nothing past a block is copied or wiped.
    store.myCert.bytes = Fixture("user.der");
    store.key.bytes = Fixture("user.key.p8");
    using qmtest::StoreDouble;
    struct Case {
        qmtest::StoreRead StoreDouble::*block;
        int32_t reported;
        int code;
    };
    constexpr int32_t kFull = qm::kStoreBlockSize;
    const Case cases[] = {
        {&StoreDouble::myCert, -1, 5},        {&StoreDouble::myCert, 0, 4094},
        {&StoreDouble::myCert, kFull + 1, 5}, {&StoreDouble::myCert, INT_MAX, 5},
        {&StoreDouble::key, -1, 2},           {&StoreDouble::key, 0, 3},
        {&StoreDouble::key, kFull, 3},        {&StoreDouble::key, kFull + 1, 2},
        {&StoreDouble::key, INT_MAX, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.block == &StoreDouble::key ? "key length " : "certificate length ") +
                     std::to_string(c.reported));
        (store.*c.block).reportedLength = c.reported;
        int keyCalls = store.Count("LD_GetKey");
        EXPECT_EQ(kRefused, Cert(veyra, L"cn=Hong,ou=x", L"secret"));
        EXPECT_EQ(c.code, CodeOf(veyra));
        if (c.block == &StoreDouble::myCert) {
            EXPECT_EQ(keyCalls, store.Count("LD_GetKey"))
                << "no key is read for an unread certificate";
        }
        (store.*c.block).reportedLength.reset();
    }
    // The whole block is read as the store says, but 3,000 bytes around a shorter certificate
    // are no certificate of anyone's: no key is its own.
    store.myCert.reportedLength = kFull;
    EXPECT_EQ(S_FALSE, Cert(veyra, L"cn=Hong,ou=x", L"secret").hr);
    EXPECT_EQ(2, CodeOf(veyra));
}

TEST_F(DirectoryTest, AnEmptyCertificateFromASucceedingStoreLeavesTheRawStatus) {
    store.myCert.bytes.clear(); // success, no bytes
    EXPECT_EQ(kRefused, Cert(veyra, L"cn=Hong", L"secret"));
    EXPECT_EQ(4094, CodeOf(veyra)) << "the -2 of the copy, whose low 12 bits are 0xFFE";
    qm::UniqueBstr text;
    EXPECT_EQ(S_OK, veyra.GetErrorString(text.out()));
    EXPECT_EQ(0u, SysStringLen(text.get())) << "past the message table: an empty text";
    EXPECT_EQ(0, store.Count("LD_GetKey"));
}

} // namespace
