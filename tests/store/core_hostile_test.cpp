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
#include <thread>

namespace ledra::test {
namespace {

constexpr uint8_t kGuard = 0xC3;

pki::NameParts Person(const std::string& cn, const std::string& ou = "Test") {
    return {{"C", "KR"}, {"O", "Ledra Test"}, {"OU", ou}, {"CN", cn}};
}

std::string DnOf(const std::string& cn, const std::string& ou = "Test") {
    return "cn=" + cn + ",ou=" + ou + ",o=Ledra Test,c=KR";
}

// A caller's area with a guard zone behind it.
template <typename T> struct Guarded {
    explicit Guarded(size_t count)
        : bytes(count * sizeof(T) + 256, kGuard), size(count * sizeof(T)) {}
    T* get() { return reinterpret_cast<T*>(bytes.data()); }
    bool GuardIntact() const {
        for (size_t i = size; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
    std::vector<uint8_t> bytes;
    size_t size;
};

struct Block {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(qm::kStoreBlockSize + 256, kGuard);
    ByteBuffer buffer{-1, bytes.data()};
    bool Untouched() const {
        for (uint8_t b : bytes) {
            if (b != kGuard) {
                return false;
            }
        }
        return true;
    }
    bool GuardIntact() const {
        for (size_t i = qm::kStoreBlockSize; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
};

std::vector<std::string> Dns(int32_t count, const char* area) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < count; ++i) {
        out.emplace_back(area + i * qm::kDnSlotSize);
    }
    return out;
}

int32_t CountListed(int medium = 0) {
    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
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
    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
    int32_t count = LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0);
    EXPECT_EQ(count, 30);
    EXPECT_TRUE(area.GuardIntact()) << "the DN area was overrun";
    // In DN order, so the same thirty every time.
    std::vector<std::string> listed = Dns(count, reinterpret_cast<char*>(area.get()));
    EXPECT_EQ(listed, std::vector<std::string>(dns.begin(), dns.begin() + 30));

    Guarded<CertInfoRecord> records(qm::kMaxListEntries);
    EXPECT_EQ(LD_GetKeyInfo(qm::kKindOwn, records.get(), 0, 0, "5821"), 30);
    EXPECT_TRUE(records.GuardIntact()) << "the record area was overrun";
    Guarded<CertInfoRecord> recipients(qm::kMaxListEntries);
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
    MakeOptions underLongIssuer;
    underLongIssuer.issuer = LongName(400, longIssuer);
    AddOwn(store.Medium(0), MakeCertificate(Person("Kim"), underLongIssuer));

    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
    int32_t count = LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0);
    ASSERT_EQ(count, 2);
    std::vector<std::string> dns = Dns(count, reinterpret_cast<char*>(area.get()));
    EXPECT_EQ(dns, (std::vector<std::string>{DnOf("Kim"), fits}));

    Block block;
    EXPECT_EQ(LD_GetMyCert(fits.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), 0);
    EXPECT_EQ(LD_GetMyCert(tooLong.c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer),
              err::kDnTooLong);

    Guarded<CertInfoRecord> records(qm::kMaxListEntries);
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

    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
    int32_t count = LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0);
    EXPECT_EQ(Dns(count, area.get()), std::vector<std::string>{DnOf("Hong")});
    Guarded<CertInfoRecord> records(qm::kMaxListEntries);
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
    pki::NameParts parts = {
        {"C", "KR"}, {"OU", name.substr(0, 3 * 40)}, {"OU", name.substr(3 * 40)}};
    AddOwn(store.Medium(0), MakeCertificate(parts));
    EXPECT_EQ(CountListed(), 1);
    SetAnsiCodePage(65001);
    EXPECT_EQ(CountListed(), 0);
}

TEST(HostileStore, BlocksOfExactlyThreeThousandBytesFitAndOneMoreFails) {
    ScratchStore store;
    MakeOptions exact, over;
    exact.exactSize = 3000;
    over.exactSize = 3001;
    Made fits = MakeCertificate(Person("Fits"), exact);
    Made tooBig = MakeCertificate(Person("TooBig"), over);
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
    EXPECT_TRUE(std::all_of(b.bytes.begin(), b.bytes.end(), [](uint8_t x) { return x == kGuard; }))
        << "a failed read wrote into the block";
}

// An EncryptedPrivateKeyInfo of a chosen size: the store checks the structure, not the contents.
std::vector<uint8_t> KeyOfSize(size_t size) {
    // SEQUENCE { SEQUENCE { OID pbeWithSHA1And3-KeyTripleDES-CBC, SEQUENCE { OCTET STRING(8),
    // INTEGER 2048 } }, OCTET STRING(n) }, lengths in the two-byte long form (n >= 256).
    std::vector<uint8_t> algorithm = {0x30, 0x1C, 0x06, 0x0A, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                      0x01, 0x0C, 0x01, 0x03, 0x30, 0x0E, 0x04, 0x08, 1,    2,
                                      3,    4,    5,    6,    7,    8,    0x02, 0x02, 0x08, 0x00};
    size_t n = size - 4 - algorithm.size() - 4;
    std::vector<uint8_t> der;
    der.reserve(size);
    for (uint8_t b : {uint8_t(0x30), uint8_t(0x82), uint8_t((size - 4) >> 8), uint8_t(size - 4)}) {
        der.push_back(b);
    }
    for (uint8_t b : algorithm) {
        der.push_back(b);
    }
    for (uint8_t b : {uint8_t(0x04), uint8_t(0x82), uint8_t(n >> 8), uint8_t(n)}) {
        der.push_back(b);
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

    auto entry = [&](const std::string& name) {
        fs::create_directory(medium / name);
        return medium / name;
    };
    Made other = MakeCertificate(Person("Other"));
    std::vector<uint8_t> half(other.der.begin(), other.der.begin() + other.der.size() / 2);
    WipedBytes key = pki::EncryptPrivateKey(other.key.get(), pki::Secret("pw"));
    std::vector<uint8_t> keyBytes(key.data(), key.data() + key.size());

    fs::path truncated = entry("truncated");
    WriteBytes(truncated / "cert.der", half);
    WriteBytes(truncated / "key.p8", keyBytes);
    fs::path garbage = entry("garbage");
    WriteBytes(garbage / "cert.der", std::vector<uint8_t>(500, 0x30));
    WriteBytes(garbage / "key.p8", keyBytes);
    fs::path trailing = entry("trailing");
    std::vector<uint8_t> withTail = other.der;
    withTail.push_back(0);
    WriteBytes(trailing / "cert.der", withTail);
    WriteBytes(trailing / "key.p8", keyBytes);
    fs::path empty = entry("empty");
    WriteBytes(empty / "cert.der", {});
    WriteBytes(empty / "key.p8", keyBytes);
    fs::path noKey = entry("no-key");
    WriteBytes(noKey / "cert.der", other.der);
    fs::path badKey = entry("bad-key");
    WriteBytes(badKey / "cert.der", other.der);
    WriteBytes(badKey / "key.p8", std::vector<uint8_t>(keyBytes.begin(), keyBytes.end() - 9));
    fs::path folderAsFile = entry("folder-as-file");
    fs::create_directory(folderAsFile / "cert.der");
    fs::path fifo = entry("fifo");
    ASSERT_EQ(mkfifo((fifo / "cert.der").c_str(), 0600), 0);
    WriteBytes(fifo / "key.p8", keyBytes);
    fs::path huge = entry("huge");
    WriteBytes(huge / "cert.der", std::vector<uint8_t>(200000, 0x30));
    WriteBytes(medium / "stray-file", {1, 2, 3});
    // Links inside a medium would lead out of the folder that was judged: never followed.
    ScratchFolder elsewhere;
    std::string otherId = AddOwn(elsewhere.path(), other);
    fs::create_directory_symlink(elsewhere.path() / otherId, medium / "linked-entry");
    fs::path linkedFiles = entry("linked-files");
    fs::create_symlink(elsewhere.path() / otherId / "cert.der", linkedFiles / "cert.der");
    fs::create_symlink(elsewhere.path() / otherId / "key.p8", linkedFiles / "key.p8");
    // An entry that a crashed writer left under its temporary name.
    fs::path unfinished = entry(".new-0123456789abcdef-000000000000");
    WriteBytes(unfinished / "cert.der", other.der);
    WriteBytes(unfinished / "key.p8", keyBytes);

    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 0, 0), 1);
    EXPECT_STREQ(reinterpret_cast<char*>(area.get()), DnOf("Good").c_str());
    Block block;
    EXPECT_EQ(LD_GetMyCert(DnOf("Other").c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer),
              err::kNotFound);
    EXPECT_EQ(LD_GetKey(DnOf("Good").c_str(), qm::kKindOwn, 0, 0, "5821", &block.buffer), 0);

    // Recipients need no key: the same damage in their folder leaves the one good certificate.
    fs::create_directory(store.Recipients() / "truncated");
    WriteBytes(store.Recipients() / "truncated" / "cert.der", half);
    AddRecipient(store.Recipients(), other);
    Guarded<CertInfoRecord> records(qm::kMaxListEntries);
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
    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
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

    // A link file wins over the medium's own folder.
    WriteBytes(store.path() / "medium1.link", [&] {
        std::string s = stick.path().string() + "\n";
        return std::vector<uint8_t>(s.begin(), s.end());
    }());
    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 1, 0), 1);
    EXPECT_STREQ(reinterpret_cast<char*>(area.get()), DnOf("OnStick").c_str());

    // So does a symbolic link in the medium's place.
    fs::remove(store.path() / "medium1.link");
    fs::remove_all(store.Medium(3));
    fs::create_directory_symlink(stick.path(), store.Medium(3));
    ASSERT_EQ(LD_GetKeyDN(qm::kKindOwn, area.get(), 3, 0), 1);
    EXPECT_STREQ(reinterpret_cast<char*>(area.get()), DnOf("OnStick").c_str());
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
        WriteBytes(planted / id / "cert.der", plantedCert.der);
        WriteBytes(planted / id / "key.p8",
                   {plantedKey.data(), plantedKey.data() + plantedKey.size()});
    }
    fs::permissions(planted, fs::perms::all, fs::perm_options::replace);
    fs::path way = shared.path() / "way";
    fs::create_directory_symlink(own, way);
    WriteBytes(store.path() / "medium1.link", [&] {
        std::string s = way.string() + "\n";
        return std::vector<uint8_t>(s.begin(), s.end());
    }());

    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        const fs::path targets[] = {own, planted, shared.path() / "nothing"};
        fs::path next = shared.path() / "next";
        for (long i = 0; !stop.load(); ++i) {
            std::error_code ec;
            fs::remove(next, ec);
            fs::create_directory_symlink(targets[i % 3], next, ec);
            fs::rename(next, way, ec);
            swaps.fetch_add(1);
            // About as long as a listing takes: the link moves while most listings run.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    constexpr int kCalls = 3000;
    const std::string plantedDn = DnOf("Planted");
    int plantedListed = 0, plantedHandedOut = 0, ownListed = 0, refused = 0, noMedium = 0;
    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
    Block block;
    for (int call = 0; call < kCalls; ++call) {
        int32_t count = LD_GetKeyDN(qm::kKindOwn, area.get(), 1, 0);
        std::vector<std::string> dns = Dns(count, area.get());
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
    MakeOptions older, newer;
    older.notAfter = 1800000000;
    newer.notAfter = 1900000000;
    Made a = MakeCertificate(Person("Twin"), older);
    Made b = MakeCertificate(Person("Twin"), newer);
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
        MakeOptions o;
        o.notAfter = c.notAfter;
        AddRecipient(store.Recipients(), MakeCertificate(Person(c.cn), o));
    }
    Guarded<CertInfoRecord> records(qm::kMaxListEntries);
    ASSERT_EQ(LD_GetCertInfo(qm::kKindRecipient, records.get(), 0), 5);
    for (const Case& c : cases) {
        bool seen = false;
        for (int i = 0; i < 5; ++i) {
            if (DnOf(c.cn) == records.get()[i].subjectDN) {
                EXPECT_EQ(records.get()[i].expiry, c.expected) << c.cn;
                seen = true;
            }
        }
        EXPECT_TRUE(seen) << c.cn;
    }
}

TEST(StoreRoot, ComesFromTheHostThenTheEnvironmentThenTheUsersDataFolder) {
    ScratchFolder a, b;
    std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
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
    setenv("HOME", home.c_str(), 1);
}

// A relative path would follow whatever folder the host process works in (a browser's is often
// its download folder): without an absolute one the store has no root, and reads nothing.
TEST(StoreRoot, IsAnAbsolutePathOrThereIsNone) {
    SavedEnvironment saved({"HOME", "XDG_DATA_HOME", "QUILLMARK_STORE"});
    unsetenv("QUILLMARK_STORE");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    EXPECT_EQ(StoreRoot(), fs::path());
    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
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
    Guarded<char> area(qm::kMaxListEntries * qm::kDnSlotSize);
    Guarded<CertInfoRecord> records(qm::kMaxListEntries);
    Block cert;
    Block key;
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
    try {
        AddOwn(folder.path(), m, "another");
        FAIL() << "the same certificate was written twice";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EEXIST);
    }
    // Only the entry itself: no temporary folder left behind, and the first key kept.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder.path())) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{id});
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
