// The store core over stores made by hand: more entries than a listing holds, DNs and blocks at
// and over their limits, damaged and vanishing files. Nothing may overrun a caller's area, and
// nothing may crash.
#include "store_fixture.h"

#include "store/core/ledra.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <thread>
#include <tuple>

namespace ledra::test {
namespace {

using ::testing::Property;
using ::testing::Throws;

pki::NameParts Person(const std::string& cn) {
    return {{"C", "KR"}, {"O", "Ledra Test"}, {"OU", "Test"}, {"CN", cn}};
}

std::string DnOf(const std::string& cn) {
    return "cn=" + cn + ",ou=Test,o=Ledra Test,c=KR";
}

int32_t CountListed(int medium = 0) {
    DnArea area;
    return LD_GetKeyDN(qm::kKindOwn, area.get(), medium, 0);
}

TEST(HostileStore, ListsAtMostThirtyEntriesAndFindsEveryOne) {
    ScratchStore store;
    std::vector<std::string> dns;
    // Listings never open keys: one encrypted key serves every entry (and spares 35 rounds of
    // key derivation).
    Made first = MakeCertificate(Person("unused"));
    WipedBytes key = pki::EncryptPrivateKey(first.key.get(), pki::Secret("pw"));
    for (int i = 0; i < 35; ++i) {
        std::string cn = "user" + std::to_string(100 + i);
        Made m = MakeCertificate(Person(cn));
        WriteEntry(store.Medium(0), m.der, key.span());
        AddRecipient(store.Recipients(), m);
        dns.push_back(DnOf(cn));
    }
    DnArea area;
    int32_t count = LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0);
    EXPECT_EQ(count, 30);
    EXPECT_TRUE(area.GuardIntact()) << "the DN area was overrun";
    // In DN order, so the same thirty every time.
    EXPECT_EQ(area.Dns(count), std::vector<std::string>(dns.begin(), dns.begin() + 30));

    Guarded<CertInfoRecord> records, recipients;
    EXPECT_EQ(LD_GetKeyInfo(qm::kKindOwn, records.get(), 0, 0, "5821"), 30);
    EXPECT_TRUE(records.GuardIntact()) << "the record area was overrun";
    EXPECT_EQ(LD_GetCertInfo(qm::kKindRecipient, recipients.get(), 0), 30);
    EXPECT_TRUE(recipients.GuardIntact());

    // Entries past the thirtieth are still there to be fetched by DN.
    Block block;
    EXPECT_EQ(LD_GetMyCert(dns.back().c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), 0);
    EXPECT_EQ(LD_GetCert(dns.back().c_str(), qm::kKindRecipient, &block.buffer), 0);
}

// A name of organisational units under c=KR whose text is exactly `textLength` bytes long.
pki::NameParts LongName(size_t textLength, std::string& text) {
    text = "c=KR";
    size_t remaining = textLength - text.size();
    size_t units = (remaining + 63) / 64; // each "ou=<value>," costs its value plus 4
    size_t letters = remaining - 4 * units;
    pki::NameParts parts = {{"C", "KR"}};
    for (size_t i = 0; i < units; ++i) {
        std::string value(letters / units + (i < letters % units ? 1 : 0), char('a' + i));
        parts.push_back({"OU", value});
        text = "ou=" + value + "," + text;
    }
    return parts;
}

TEST(HostileStore, SubjectDnsTooLongForASlotNameNothingAndIssuerDnsAreCut) {
    ScratchStore store;
    std::string fits, tooLong;
    Made atLimit = MakeCertificate(LongName(255, fits));
    Made overLimit = MakeCertificate(LongName(256, tooLong));
    ASSERT_EQ(fits.size(), 255u);
    ASSERT_EQ(tooLong.size(), 256u);
    ASSERT_EQ(NameText(X509_get_subject_name(overLimit.cert.get())), tooLong);
    AddOwn(store.Medium(0), atLimit);
    AddOwn(store.Medium(0), overLimit);
    // A short subject under an issuer whose DN is far too long to show whole.
    std::string longIssuer;
    AddOwn(store.Medium(0), MakeCertificate(Person("Kim"), {.issuer = LongName(400, longIssuer)}));

    DnArea area;
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), 2);
    EXPECT_EQ(area.Dns(2), (std::vector<std::string>{DnOf("Kim"), fits}));

    Block block;
    EXPECT_EQ(LD_GetMyCert(fits.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), 0);
    EXPECT_EQ(LD_GetMyCert(tooLong.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer),
              err::kDnTooLong);

    Guarded<CertInfoRecord> records;
    ASSERT_EQ(LD_GetKeyInfo(qm::kKindOwn, records.get(), 0, 0, "5821"), 2);
    const CertInfoRecord& kim = records.get()[0];
    EXPECT_STREQ(kim.subjectDN, DnOf("Kim").c_str());
    EXPECT_EQ(std::string(kim.issuerDN), longIssuer.substr(0, 255));
    EXPECT_TRUE(records.GuardIntact());
}

// Quillmark joins the DNs of a listing with "|": a certificate whose DN holds one would read as
// two DNs, the second of its holder's choosing (here: someone else's). It is left out of every
// listing and lookup, so that no list shows a DN that no certificate has.
TEST(HostileStore, ADnThatHoldsTheListSeparatorNamesNothing) {
    ScratchStore store;
    AddOwn(store.Medium(0), MakeCertificate(Person("Hong")));
    // "cn=x|cn=Hong,ou=Test,o=Ledra Test,c=KR": split at "|", the real Hong's DN.
    Made twoInOne = MakeCertificate(Person("x|cn=Hong"));
    ASSERT_EQ(NameText(X509_get_subject_name(twoInOne.cert.get())), "cn=x|" + DnOf("Hong"))
        << "the separator is no special character of RFC 4514";
    AddOwn(store.Medium(0), twoInOne);
    AddRecipient(store.Recipients(), twoInOne);
    AddOwn(store.Medium(0), MakeCertificate(Person("A|B")));

    DnArea area;
    EXPECT_EQ(area.Dns(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0)),
              std::vector<std::string>{DnOf("Hong")});
    Guarded<CertInfoRecord> records;
    EXPECT_EQ(LD_GetKeyInfo(qm::kKindOwn, records.get(), 0, 0, "5821"), 1);
    EXPECT_EQ(LD_GetCertInfo(qm::kKindRecipient, records.get(), 0), 0);
    Block block;
    for (const std::string& dn : {DnOf("x|cn=Hong"), DnOf("A|B")}) {
        EXPECT_EQ(LD_GetMyCert(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer),
                  err::kNotFound);
        EXPECT_EQ(LD_GetKey(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), err::kNotFound);
        EXPECT_EQ(LD_GetCert(dn.c_str(), qm::kKindRecipient, &block.buffer), err::kNotFound);
    }
}

TEST(HostileStore, SlotLimitsCountTheCodePagesBytes) {
    ScratchStore store;
    // 85 Hangul syllables take 2 bytes each in code page 949 and 3 in UTF-8: the DN (182 bytes
    // in 949, 267 in UTF-8) fits a slot only where the code page is 949.
    std::string name;
    for (int i = 0; i < 85; ++i) {
        name += "가";
    }
    AddOwn(store.Medium(0),
           MakeCertificate(
               {{"C", "KR"}, {"OU", name.substr(0, 3 * 40)}, {"OU", name.substr(3 * 40)}}));
    EXPECT_EQ(CountListed(), 1);
    SetAnsiCodePage(65001);
    EXPECT_EQ(CountListed(), 0);
}

TEST(HostileStore, BlocksOfExactlyThreeThousandBytesFitAndOneMoreFails) {
    ScratchStore store;
    Made fits = MakeCertificate(Person("Fits"), {.exactSize = 3000});
    Made tooBig = MakeCertificate(Person("TooBig"), {.exactSize = 3001});
    ASSERT_EQ(fits.der.size(), 3000u);
    ASSERT_EQ(tooBig.der.size(), 3001u);
    AddOwn(store.Medium(0), fits);
    AddOwn(store.Medium(0), tooBig);
    AddRecipient(store.Recipients(), tooBig);

    Block a;
    ASSERT_EQ(LD_GetMyCert(DnOf("Fits").c_str(), qm::kKindOwn, 0, 0, "5821", &a.buffer), 0);
    EXPECT_EQ(a.buffer.length, 3000);
    EXPECT_EQ(0, std::memcmp(a.bytes.data(), fits.der.data(), 3000));
    EXPECT_TRUE(a.GuardIntact());

    Block b;
    EXPECT_EQ(LD_GetMyCert(DnOf("TooBig").c_str(), qm::kKindOwn, 0, 0, "5821", &b.buffer),
              err::kTooLarge);
    EXPECT_EQ(b.buffer.length, 0);
    b.buffer.length = -1;
    EXPECT_EQ(LD_GetCert(DnOf("TooBig").c_str(), qm::kKindRecipient, &b.buffer), err::kTooLarge);
    EXPECT_TRUE(b.Untouched()) << "a failed read wrote into the block";
}

// An EncryptedPrivateKeyInfo of a chosen size: the store checks the structure, not the contents.
std::vector<uint8_t> KeyOfSize(size_t size) {
    // SEQUENCE { SEQUENCE { OID pbeWithSHA1And3-KeyTripleDES-CBC, SEQUENCE { OCTET STRING(8),
    // INTEGER 2048 } }, OCTET STRING(n) }, lengths in the two-byte long form (n >= 256).
    std::vector<uint8_t> der = {0x30, 0x82, 0,    0,    0x30, 0x1C, 0x06, 0x0A, 0x2A, 0x86,
                                0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x03, 0x30, 0x0E,
                                0x04, 0x08, 1,    2,    3,    4,    5,    6,    7,    8,
                                0x02, 0x02, 0x08, 0x00, 0x04, 0x82, 0,    0};
    // The two lengths, each of what follows it.
    for (size_t at : {size_t(2), size_t(36)}) {
        der[at] = uint8_t((size - at - 2) >> 8);
        der[at + 1] = uint8_t(size - at - 2);
    }
    der.resize(size, 0x77);
    return der;
}

TEST(HostileStore, KeysOverTheBlockFailAndAKeyOfExactlyTheBlockFits) {
    ScratchStore store;
    ASSERT_TRUE(IsEncryptedPrivateKey(KeyOfSize(3000)));
    Made big = MakeCertificate(Person("BigKey"));
    Made exact = MakeCertificate(Person("ExactKey"));
    WriteEntry(store.Medium(0), big.der, KeyOfSize(3001));
    WriteEntry(store.Medium(0), exact.der, KeyOfSize(3000));

    Block block;
    EXPECT_EQ(LD_GetKey(DnOf("BigKey").c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer),
              err::kTooLarge);
    EXPECT_TRUE(block.Untouched());
    EXPECT_EQ(LD_GetKey(DnOf("ExactKey").c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), 0);
    EXPECT_EQ(block.buffer.length, 3000);
    EXPECT_TRUE(block.GuardIntact());
}

TEST(HostileStore, DamagedEntriesAreSkippedAndNeverHang) {
    ScratchStore store;
    fs::path medium = store.Medium(0);
    Made good = MakeCertificate(Person("Good"));
    AddOwn(medium, good);

    Made other = MakeCertificate(Person("Other"));
    std::vector<uint8_t> half(other.der.begin(), other.der.begin() + other.der.size() / 2);
    std::vector<uint8_t> withTail = other.der;
    withTail.push_back(0);
    WipedBytes wiped = pki::EncryptPrivateKey(other.key.get(), pki::Secret("pw"));
    std::vector<uint8_t> key(wiped.data(), wiped.data() + wiped.size());
    // Each damaged entry's certificate and key files (nullopt: none, or not a plain file). The
    // last is an entry that a crashed writer left under its temporary name.
    using Bytes = std::optional<std::vector<uint8_t>>;
    const std::tuple<const char*, Bytes, Bytes> damaged[] = {
        {"truncated", half, key},
        {"garbage", std::vector<uint8_t>(500, 0x30), key},
        {"trailing", withTail, key},
        {"empty", std::vector<uint8_t>(), key},
        {"no-key", other.der, std::nullopt},
        {"bad-key", other.der, std::vector<uint8_t>(key.begin(), key.end() - 9)},
        {"folder-as-file", std::nullopt, std::nullopt},
        {"fifo", std::nullopt, key},
        {"huge", std::vector<uint8_t>(200000, 0x30), std::nullopt},
        {"linked-files", std::nullopt, std::nullopt},
        {".new-0123456789abcdef-000000000000", other.der, key},
    };
    for (const auto& [name, cert, keyFile] : damaged) {
        fs::create_directory(medium / name);
        if (cert) {
            WriteFile(medium / name / "cert.der", *cert);
        }
        if (keyFile) {
            WriteFile(medium / name / "key.p8", *keyFile);
        }
    }
    fs::create_directory(medium / "folder-as-file" / "cert.der");
    ASSERT_EQ(mkfifo((medium / "fifo" / "cert.der").c_str(), 0600), 0);
    WriteFile(medium / "stray-file", "\x01\x02\x03");
    // Links inside a medium would lead out of the folder that was judged: never followed.
    ScratchFolder elsewhere;
    fs::path otherEntry = elsewhere / AddOwn(elsewhere.path(), other);
    fs::create_directory_symlink(otherEntry, medium / "linked-entry");
    for (const char* file : {"cert.der", "key.p8"}) {
        fs::create_symlink(otherEntry / file, medium / "linked-files" / file);
    }

    DnArea area;
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), 1);
    EXPECT_STREQ(area.get(), DnOf("Good").c_str());
    Block block;
    EXPECT_EQ(LD_GetMyCert(DnOf("Other").c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer),
              err::kNotFound);
    EXPECT_EQ(LD_GetKey(DnOf("Good").c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), 0);

    // Recipients need no key: the same damage in their folder leaves the one good certificate.
    fs::create_directory(store.Recipients() / "truncated");
    WriteFile(store.Recipients() / "truncated" / "cert.der", half);
    AddRecipient(store.Recipients(), other);
    Guarded<CertInfoRecord> records;
    ASSERT_EQ(LD_GetCertInfo(qm::kKindRecipient, records.get(), 0), 1);
    EXPECT_STREQ(records.get()[0].subjectDN, DnOf("Other").c_str());
}

TEST(HostileStore, EntriesThatVanishBetweenCallsAreNotFound) {
    ScratchStore store;
    Made m = MakeCertificate(Person("Gone"));
    std::string id = AddOwn(store.Medium(0), m);
    std::string dn = DnOf("Gone");
    ASSERT_EQ(CountListed(), 1);

    fs::remove(store.Medium(0) / id / "key.p8");
    Block block;
    EXPECT_EQ(LD_GetKey(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), err::kNotFound);
    RemoveEntry(store.Medium(0) / id);
    EXPECT_EQ(LD_GetMyCert(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), err::kNotFound);
    EXPECT_EQ(CountListed(), 0);

    // A medium whose folder is gone (a stick pulled out) lists nothing and finds nothing.
    fs::remove_all(store.Medium(2));
    DnArea area;
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 2, 0), err::kNoMedium);
    EXPECT_EQ(LD_GetMyCert(dn.c_str(), qm::kKindOwn, 2, 0, "5821", &block.buffer), err::kNoMedium);
    // The whole store gone.
    SetStoreRootOverride((store.path() / "nowhere").string());
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), err::kNoMedium);
    EXPECT_TRUE(area.GuardIntact());
}

TEST(HostileStore, AMediumCanLiveElsewhere) {
    ScratchStore store;
    ScratchFolder stick;
    AddOwn(stick.path(), MakeCertificate(Person("OnStick")));
    AddOwn(store.Medium(1), MakeCertificate(Person("AtHome")));

    // A link file wins over the medium's own folder (medium 1), and so does a symbolic link in
    // the medium's place (medium 3).
    std::ofstream(store / "medium1.link") << stick.path().string() << "\n";
    fs::remove_all(store.Medium(3));
    fs::create_directory_symlink(stick.path(), store.Medium(3));
    DnArea area;
    for (int medium : {1, 3}) {
        ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), medium, 0), 1) << medium;
        EXPECT_STREQ(area.get(), DnOf("OnStick").c_str()) << medium;
    }
}

// Someone who may rename or relink what lies on the way to a medium kept elsewhere (here a link
// in a folder that they may write to) points it, over and over, at the user's own folder, at a
// folder of theirs that anyone may write to, and at nothing, while the store lists and reads
// the medium. What the store hands out comes from the folder that it judged, never from the
// planted one.
TEST(HostileStore, AMediumSwappedWhileItIsReadShowsOnlyWhatWasJudged) {
    ScratchStore store;
    ScratchFolder shared;
    fs::path own = shared.path() / "own", planted = shared.path() / "planted";
    fs::create_directory(own);
    MakePrivate(own);
    fs::create_directory(planted);
    // The planter knows the ids of the user's entries (they are their certificates'
    // fingerprints) and plants one under each of them.
    Made plantedCert = MakeCertificate(Person("Planted"));
    WipedBytes plantedKey = pki::EncryptPrivateKey(plantedCert.key.get(), pki::Secret("pw"));
    for (int i = 0; i < 4; ++i) {
        std::string id = AddOwn(own, MakeCertificate(Person("Own" + std::to_string(i))));
        fs::create_directory(planted / id);
        WriteFile(planted / id / "cert.der", plantedCert.der);
        WriteFile(planted / id / "key.p8", plantedKey.span());
    }
    fs::permissions(planted, fs::perms::all, fs::perm_options::replace);
    fs::path way = shared.path() / "way";
    fs::create_directory_symlink(own, way);
    std::ofstream(store / "medium1.link") << way.string() << "\n";

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const fs::path targets[] = {own, planted, shared.path() / "nothing"};
        fs::path next = shared.path() / "next";
        for (long i = 0; !stop.load(); ++i) {
            std::error_code ec;
            fs::remove(next, ec);
            fs::create_directory_symlink(targets[i % 3], next, ec);
            fs::rename(next, way, ec);
            // About as long as a listing takes: the link moves while most listings run.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    constexpr int kCalls = 3000;
    const std::string plantedDn = DnOf("Planted");
    int plantedListed = 0, plantedHandedOut = 0, ownListed = 0, refused = 0, noMedium = 0;
    DnArea area;
    Block block;
    for (int call = 0; call < kCalls; ++call) {
        int32_t count = LD_GetKeyDN(qm::kKindOwn, area.get(), 1, 0);
        std::vector<std::string> dns = area.Dns(count);
        plantedListed += std::count(dns.begin(), dns.end(), plantedDn) != 0;
        ownListed += std::count(dns.begin(), dns.end(), DnOf("Own0")) != 0;
        refused += count == err::kOpenStore;
        noMedium += count == err::kNoMedium;
        plantedHandedOut +=
            LD_GetKey(plantedDn.c_str(), qm::kKindOwn, 1, 0, "5821", &block.buffer) == 0;
    }
    stop = true;
    swapper.join();
    std::printf("planted DNs listed in %d of %d calls, a planted key handed out in %d; the own "
                "medium listed in %d, refused %d, no medium %d\n",
                plantedListed, kCalls, plantedHandedOut, ownListed, refused, noMedium);
    EXPECT_EQ(plantedListed, 0);
    EXPECT_EQ(plantedHandedOut, 0);
    // The race ran: every state of the link was met.
    EXPECT_GT(ownListed, 0);
    EXPECT_GT(refused, 0);
    EXPECT_GT(noMedium, 0);
}

TEST(HostileStore, OfTwoCertificatesWithOneDnTheLaterStandsForIt) {
    ScratchStore store;
    Made a = MakeCertificate(Person("Twin"), {.notAfter = 1800000000});
    Made b = MakeCertificate(Person("Twin"), {.notAfter = 1900000000});
    AddOwn(store.Medium(0), a, "old");
    AddOwn(store.Medium(0), b, "new");
    ASSERT_EQ(CountListed(), 1);

    Block cert, key;
    std::string dn = DnOf("Twin");
    ASSERT_EQ(LD_GetMyCert(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &cert.buffer), 0);
    ASSERT_EQ(LD_GetKey(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &key.buffer), 0);
    EXPECT_TRUE(std::equal(b.der.begin(), b.der.end(), cert.bytes.begin()));
    std::span<const uint8_t> delivered(key.bytes.data(), size_t(key.buffer.length));
    pki::PkeyPtr opened = pki::DecryptPrivateKey(delivered, pki::Secret("new"));
    ASSERT_TRUE(opened) << "the key handed out is not the newer certificate's";
    EXPECT_TRUE(pki::KeyMatchesCertificate(opened.get(), b.cert.get()));
}

TEST(HostileStore, ExpiryBeyondThirtyTwoBitsIsTheLargestValue) {
    ScratchStore store;
    struct Case {
        const char* cn;
        int64_t notAfter;
        int32_t expected;
    } cases[] = {
        {"In2030", 1900000000, 1900000000}, {"Last32", INT32_MAX, INT32_MAX},
        {"In2040", 2208988800, INT32_MAX},  {"In9999", 253402300799, INT32_MAX},
        {"In1960", -315619200, -315619200},
    };
    for (const Case& c : cases) {
        AddRecipient(store.Recipients(), MakeCertificate(Person(c.cn), {.notAfter = c.notAfter}));
    }
    Guarded<CertInfoRecord> records;
    ASSERT_EQ(LD_GetCertInfo(qm::kKindRecipient, records.get(), 0), 5);
    std::multimap<std::string, int32_t> expiries;
    for (int i = 0; i < 5; ++i) {
        expiries.emplace(records.get()[i].subjectDN, records.get()[i].expiry);
    }
    for (const Case& c : cases) {
        EXPECT_THAT(expiries, ::testing::Contains(::testing::Pair(DnOf(c.cn), c.expected))) << c.cn;
    }
}

TEST(StoreRoot, ComesFromTheHostThenTheEnvironmentThenTheUsersDataFolder) {
    SavedEnvironment saved({"HOME", "XDG_DATA_HOME", "QUILLMARK_STORE"});
    ScratchFolder a, b;
    setenv("QUILLMARK_STORE", a.path().c_str(), 1);
    EXPECT_EQ(StoreRoot(), a.path());
    SetStoreRootOverride(b.path().string());
    EXPECT_EQ(StoreRoot(), b.path());
    SetStoreRootOverride("");
    unsetenv("QUILLMARK_STORE");
    setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(StoreRoot(), fs::path("/data/quillmark/store"));
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(StoreRoot(), fs::path("/home/someone/.local/share/quillmark/store"));
}

// A relative path would follow whatever folder the host process works in (a browser's is often
// its download folder): without an absolute one the store has no root, and reads nothing.
TEST(StoreRoot, IsAnAbsolutePathOrThereIsNone) {
    SavedEnvironment saved({"HOME", "XDG_DATA_HOME", "QUILLMARK_STORE"});
    unsetenv("QUILLMARK_STORE");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    EXPECT_EQ(StoreRoot(), fs::path());
    DnArea area;
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), err::kNoStore);

    setenv("HOME", "home/someone", 1);
    setenv("XDG_DATA_HOME", "data", 1);
    EXPECT_EQ(StoreRoot(), fs::path());
    setenv("QUILLMARK_STORE", "store", 1);
    EXPECT_EQ(StoreRoot(), fs::path());
    SetStoreRootOverride("store");
    EXPECT_EQ(StoreRoot(), fs::path());
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), err::kNoStore);
    SetStoreRootOverride("");
}

// Every function that reads medium 0 or the recipients answers `code`, and writes nothing.
void ExpectEveryFunctionRefuses(int32_t code, const std::string& dn) {
    DnArea area;
    Guarded<CertInfoRecord> records;
    Block cert, key;
    EXPECT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), code);
    EXPECT_EQ(LD_GetKeyInfo(qm::kKindOwn, records.get(), 0, 0, "5821"), code);
    EXPECT_EQ(LD_GetCertInfo(qm::kKindRecipient, records.get(), 0), code);
    EXPECT_EQ(LD_GetMyCert(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &cert.buffer), code);
    EXPECT_EQ(LD_GetCert(dn.c_str(), qm::kKindRecipient, &cert.buffer), code);
    EXPECT_EQ(LD_GetKey(dn.c_str(), qm::kKindOwn, 0, 0, "5821", &key.buffer), code);
    EXPECT_TRUE(area.GuardIntact());
    EXPECT_TRUE(cert.GuardIntact() && key.GuardIntact());
}

// Another local user's folder as the root may hold a medium that user planted (someone's
// certificate beside the planter's key): the store reads nothing from it.
TEST(StoreRoot, ARootThatAnotherUserOwnsIsNeverRead) {
    ScratchStore store;
    Made planted = MakeCertificate(Person("Planted"));
    AddOwn(store.Medium(0), planted);
    AddRecipient(store.Recipients(), planted);
    ASSERT_EQ(CountListed(), 1);

    GivenToAnotherUser other(store.path());
    if (!other.given()) {
        GTEST_SKIP() << "only root can give a folder to another user";
    }
    ExpectEveryFunctionRefuses(err::kForeignStore, DnOf("Planted"));
}

// Whoever may write to a folder of the store may plant an entry there: a root or a medium that
// the group or anyone may write to is never read, wherever the medium is kept.
TEST(StoreRoot, FoldersThatOthersMayWriteToAreNeverRead) {
    ScratchStore store;
    ScratchFolder stick;
    Made planted = MakeCertificate(Person("Planted"));
    AddOwn(store.Medium(0), planted);
    AddOwn(store.Medium(1), planted);
    AddRecipient(store.Recipients(), planted);
    AddOwn(stick.path(), planted);
    std::ofstream(store.path() / "medium2.link") << stick.path().string() << "\n";
    ASSERT_EQ(CountListed(2), 1);

    chmod(store.path().c_str(), 0777);
    ExpectEveryFunctionRefuses(err::kOpenStore, DnOf("Planted"));
    chmod(store.path().c_str(), 0700);

    // Each folder on its own terms: an open one refuses only what it would have answered.
    chmod(store.Medium(0).c_str(), 0770);
    chmod(store.Recipients().c_str(), 0703);
    chmod(stick.path().c_str(), 01777);
    ExpectEveryFunctionRefuses(err::kOpenStore, DnOf("Planted"));
    EXPECT_EQ(CountListed(2), err::kOpenStore);
    EXPECT_EQ(CountListed(1), 1);
}

TEST(EntryWriting, LeavesNothingHalfWrittenAndNeverReplacesAnEntry) {
    ScratchFolder folder;
    Made m = MakeCertificate(Person("Once"));
    std::string id = AddOwn(folder.path(), m);
    EXPECT_EQ(id, Fingerprint(m.der));
    EXPECT_THAT([&] { AddOwn(folder.path(), m, "another"); },
                Throws<std::system_error>(
                    Property(&std::system_error::code, Property(&std::error_code::value, EEXIST))))
        << "the same certificate was written twice";
    // Only the entry itself: no temporary folder left behind, and the first key kept.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
    EXPECT_TRUE(fs::is_directory(folder / id));
    Entry entry;
    ASSERT_TRUE(ReadEntry(folder.path() / id, true, entry));
    EXPECT_TRUE(pki::DecryptPrivateKey(entry.key.span(), pki::Secret("pw")));
    // The DN is a person's name and the key theirs: the entry is its user's alone.
    EXPECT_EQ(Mode(folder.path() / id), 0700u);
    EXPECT_EQ(Mode(folder.path() / id / "cert.der"), 0600u);
    EXPECT_EQ(Mode(folder.path() / id / "key.p8"), 0600u);

    RemoveEntry(folder.path() / id);
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

} // namespace
} // namespace ledra::test
