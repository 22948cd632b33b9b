// ledra-tool from the command line: what it accepts, what it refuses, and what it leaves in the
// store.
#include "store_fixture.h"

#include "store/tool/demo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <sys/stat.h>

#include <fstream>

namespace ledra::test {
namespace {

using ::testing::HasSubstr;

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        ToolRun run = Run({"init"});
        ASSERT_EQ(run.status, 0) << run.err;
    }

    ToolRun Run(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--store", store_.path().string()});
        return RunTool(args, input);
    }

    // Writes a file into the scratch folder of the inputs and returns its path.
    std::string File(const std::string& name, const std::string& bytes) {
        fs::path p = inputs_.path() / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    std::string File(const std::string& name, std::span<const uint8_t> bytes) {
        return File(name, std::string(bytes.begin(), bytes.end()));
    }

    static std::string PemKey(EVP_PKEY* key, const char* password = nullptr) {
        BIO* bio = BIO_new(BIO_s_mem());
        if (password != nullptr) {
            PEM_write_bio_PKCS8PrivateKey(bio, key, EVP_aes_128_cbc(), password,
                                          static_cast<int>(strlen(password)), nullptr, nullptr);
        } else {
            PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
        }
        char* data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        std::string text(data, static_cast<size_t>(n));
        BIO_free(bio);
        return text;
    }

    // An encrypted key whose encryption asks for 2^31 - 1 iterations of PBKDF2. Only its
    // parameters say so: nothing has been derived, and its ciphertext is filler.
    static std::vector<uint8_t> CostlyKey() {
        X509_ALGOR* pbe = PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), 0x7FFFFFFF, nullptr, 0, nullptr,
                                            NID_hmacWithSHA256);
        X509_SIG* sig = X509_SIG_new();
        X509_ALGOR* algorithm = nullptr;
        ASN1_OCTET_STRING* ciphertext = nullptr;
        X509_SIG_getm(sig, &algorithm, &ciphertext);
        const unsigned char filler[64] = {1};
        X509_ALGOR_copy(algorithm, pbe);
        ASN1_OCTET_STRING_set(ciphertext, filler, sizeof(filler));
        unsigned char* der = nullptr;
        int n = i2d_X509_SIG(sig, &der);
        std::vector<uint8_t> bytes(der, der + std::max(n, 0));
        OPENSSL_free(der);
        X509_SIG_free(sig);
        X509_ALGOR_free(pbe);
        return bytes;
    }

    std::vector<Entry> Entries(const fs::path& folder, bool withKey) {
        std::optional<std::vector<Entry>> e = ReadEntries(folder, withKey);
        return e ? std::move(*e) : std::vector<Entry>();
    }

    ScratchFolder store_;
    ScratchFolder inputs_;
};

TEST_F(Tool, AnswersBadCommandLinesWithAMessageAndStatusTwo) {
    ToolRun run = RunTool({});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr("no command"));

    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"frobnicate"}, "unknown command"},
        {{"list", "--colour"}, "unknown option --colour"},
        {{"list", "--medium", "4"}, "from 0 to 3"},
        {{"list", "--medium", "0", "--recipients"}, "not both"},
        {{"import-user", "--cert"}, "needs a value"},
        {{"import-user", "--key", "k"}, "--cert is required"},
        {{"import-p12", "--p12", "x", "--p12-pass", "secret", "--new-pass", "pass:a"},
         "pass:TEXT, env:VARIABLE"},
        {{"import-p12", "--p12", "x", "--p12-pass", "env:LEDRA_TEST_UNSET", "--new-pass", "pass:a"},
         "is not set"},
        {{"remove"}, "one DN or id"},
        {{"demo", "extra"}, "unexpected argument"},
        {{"--store"}, "needs a folder"},
        {{"list", "--store"}, "needs a folder"},
        {{"--store", "/elsewhere", "list"}, "--store is given twice"},
        {{"remove", "--all=yes", "x"}, "--all takes no value"},
        {{"remove", "-stray"}, "goes after --"},
        {{"medium", "1", "/media/stick", "--default"}, "PATH | --default"},
    };
    for (const Case& c : cases) {
        run = Run(c.args);
        EXPECT_EQ(run.status, 2) << c.args[0];
        EXPECT_THAT(run.err, HasSubstr(c.message)) << c.args[0];
    }

    run = RunTool({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out, HasSubstr("demo1234"));
    EXPECT_THAT(run.out, HasSubstr("import-p12"));
    EXPECT_THAT(run.out, HasSubstr("Exit status: 0 done, 1 failed, 2 bad command line."));
}

// What users of other tools type works here too: the version, each command's own help, the
// store's option after the command, "--name=value", and "--" before a name that starts with "-".
TEST_F(Tool, TakesTheCommandLinesOfAConventionalTool) {
    ToolRun run = RunTool({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "ledra-tool " QM_VERSION_DOTTED "\n");

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"import-user", "--help"}, {"help", "import-user"}, {"import-user", "-h", "--bad"}}) {
        run = RunTool(args);
        EXPECT_EQ(run.status, 0) << args[1];
        EXPECT_THAT(run.out, HasSubstr("usage: ledra-tool import-user"));
        EXPECT_THAT(run.out, HasSubstr("--key-pass PW"));
        EXPECT_THAT(run.out, HasSubstr("env:VARIABLE"));
        EXPECT_THAT(run.out, HasSubstr("Exit status"));
    }

    std::string root = store_.path().string();
    run = RunTool({"list", "--medium=1", "--store", root});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "[medium 1] " + root + "/medium1\n  (empty)\n");

    // list shows a stray folder whose name starts with "-" as a damaged entry by that name.
    fs::create_directory(store_.path() / "medium0" / "-stray");
    run = Run({"remove", "--", "-stray"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "removed from medium 0: damaged entry -stray\n");
    EXPECT_FALSE(fs::exists(store_.path() / "medium0" / "-stray"));
}

TEST_F(Tool, RefusesInputsItCannotStoreSoundly) {
    Made user = MakeCertificate({{"CN", "Lee"}});
    Made stranger = MakeCertificate({{"CN", "Park"}});
    std::string cert = File("cert.pem", pki::Pem(user.cert.get()));
    std::string plainKey = File("key.pem", PemKey(user.key.get()));
    std::string otherKey = File("other.pem", PemKey(stranger.key.get()));
    std::string encryptedKey = File("enc.pem", PemKey(user.key.get(), "old"));
    // The stranger's key under a password its maker knows, beside the user's certificate.
    std::string plantedKey = File("planted.pem", PemKey(stranger.key.get(), "planted"));
    std::string costlyKey = File("costly.p8", CostlyKey());

    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"import-user", "--cert", "/nonexistent", "--key", plainKey, "--new-pass", "pass:x"},
         1,
         "no such file"},
        {{"import-user", "--cert", File("junk", "not a certificate"), "--key", plainKey,
          "--new-pass", "pass:x"},
         1,
         "not a certificate"},
        {{"import-user", "--cert", cert, "--key", File("empty", ""), "--new-pass", "pass:x"},
         1,
         "is empty"},
        {{"import-user", "--cert", cert, "--key", plainKey}, 2, "give --new-pass"},
        {{"import-user", "--cert", cert, "--key", otherKey, "--new-pass", "pass:x"},
         1,
         "does not belong"},
        {{"import-user", "--cert", cert, "--key", encryptedKey, "--new-pass", "pass:x"},
         2,
         "kept as it is"},
        {{"import-user", "--cert", cert, "--key", encryptedKey, "--key-pass", "pass:wrong"},
         1,
         "does not open"},
        {{"import-user", "--cert", cert, "--key", encryptedKey}, 2, "give its password"},
        {{"import-user", "--cert", cert, "--key", plantedKey, "--key-pass", "pass:planted"},
         1,
         "does not belong"},
        {{"import-user", "--cert", cert, "--key", costlyKey, "--key-pass", "pass:x"},
         1,
         "more work than it allows"},
        {{"import-p12", "--p12", cert, "--p12-pass", "pass:a", "--new-pass", "pass:b"},
         1,
         "not a PKCS#12"},
        {{"import-user", "--medium", "2", "--cert", cert, "--key", plainKey, "--new-pass", "-"},
         2,
         "password is empty"},
        {{"remove", "cn=Nobody"}, 1, "no entry"},
    };
    for (const Case& c : cases) {
        ToolRun run = Run(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.message));
    }
    EXPECT_TRUE(Entries(store_.path() / "medium0", true).empty());
    EXPECT_TRUE(Entries(store_.path() / "medium2", true).empty());

    ToolRun run = RunTool({"--store", (inputs_.path() / "nostore").string(), "list"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("ledra-tool init"));
}

TEST_F(Tool, KeepsEveryKeyEncrypted) {
    Made plain = MakeCertificate({{"C", "KR"}, {"CN", "평문"}});
    Made encrypted = MakeCertificate({{"C", "KR"}, {"CN", "암호"}});
    Made bundled = MakeCertificate({{"C", "KR"}, {"CN", "묶음"}});

    // A key in the clear (DER certificate, PEM key): encrypted under the new password.
    ToolRun run = Run({"import-user", "--medium", "1", "--cert", File("p.der", plain.der), "--key",
                       File("p.key", PemKey(plain.key.get())), "--new-pass", "-"},
                      "fresh\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("cn=평문,c=KR"));
    std::vector<Entry> m1 = Entries(store_.path() / "medium1", true);
    ASSERT_EQ(m1.size(), 1u);
    EXPECT_EQ(m1[0].cert, plain.der);
    EXPECT_TRUE(pki::DecryptPrivateKey(m1[0].key.span(), pki::Secret("fresh")));

    // An encrypted PKCS#8 key: kept byte for byte, checked with --key-pass.
    WipedBytes p8 = pki::EncryptPrivateKey(encrypted.key.get(), pki::Secret("mine"));
    setenv("LEDRA_TEST_PASS", "mine", 1);
    run = Run({"import-user", "--cert", File("e.pem", pki::Pem(encrypted.cert.get())), "--key",
               File("e.p8", p8.span()), "--key-pass", "env:LEDRA_TEST_PASS"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<Entry> m0 = Entries(store_.path() / "medium0", true);
    ASSERT_EQ(m0.size(), 1u);
    EXPECT_TRUE(std::equal(m0[0].key.span().begin(), m0[0].key.span().end(), p8.data()));
    EXPECT_EQ(m0[0].key.size(), p8.size());

    // PKCS#12: the key is encrypted under the new password, not the file's.
    PKCS12* p12 = PKCS12_create("p12pass", "friendly", bundled.key.get(), bundled.cert.get(),
                                nullptr, 0, 0, 0, 0, 0);
    ASSERT_NE(p12, nullptr);
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12, &der);
    PKCS12_free(p12);
    std::string p12File = File("b.p12", std::string(reinterpret_cast<char*>(der), size_t(n)));
    OPENSSL_free(der);
    run = Run({"import-p12", "--medium", "3", "--p12", p12File, "--p12-pass",
               "file:" + File("pw", "p12pass\n"), "--new-pass", "pass:stored"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<Entry> m3 = Entries(store_.path() / "medium3", true);
    ASSERT_EQ(m3.size(), 1u);
    EXPECT_TRUE(pki::DecryptPrivateKey(m3[0].key.span(), pki::Secret("stored")));
    EXPECT_FALSE(pki::DecryptPrivateKey(m3[0].key.span(), pki::Secret("p12pass")));

    run = Run({"import-p12", "--p12", p12File, "--p12-pass", "pass:nope", "--new-pass", "pass:x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("wrong password"));
}

TEST_F(Tool, ImportsListsAndRemovesRecipients) {
    Made a = MakeCertificate({{"O", "Tessel"}, {"CN", "Server A"}});
    Made b = MakeCertificate({{"O", "Tessel"}, {"CN", "Server B"}});
    std::string fileA = File("a.pem", pki::Pem(a.cert.get()));
    ASSERT_EQ(Run({"import-recipient", "--cert", fileA}).status, 0);
    ASSERT_EQ(Run({"import-recipient", "--cert", File("b.der", b.der)}).status, 0);

    ToolRun again = Run({"import-recipient", "--cert", fileA});
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("already"));

    ToolRun list = Run({"list", "--recipients"});
    ASSERT_EQ(list.status, 0);
    EXPECT_THAT(list.out, HasSubstr("cn=Server A,o=Tessel"));
    EXPECT_THAT(list.out, HasSubstr("expires 2030-03-17"));

    ASSERT_EQ(Run({"remove", "cn=Server A,o=Tessel"}).status, 0);
    std::vector<Entry> left = Entries(store_.path() / "recipients", false);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].subject, "cn=Server B,o=Tessel");
    ASSERT_EQ(Run({"remove", "--recipients", left[0].id.substr(0, 10)}).status, 0);
    EXPECT_TRUE(Entries(store_.path() / "recipients", false).empty());
}

TEST_F(Tool, RemovesOnlyOneOfSeveralMatchesWhenToldWhich) {
    Made m = MakeCertificate({{"CN", "Twice"}});
    std::string cert = File("c.pem", pki::Pem(m.cert.get()));
    std::string key = File("k.pem", PemKey(m.key.get()));
    ASSERT_EQ(Run({"import-user", "--cert", cert, "--key", key, "--new-pass", "pass:x"}).status, 0);
    ASSERT_EQ(
        Run({"import-user", "--medium", "1", "--cert", cert, "--key", key, "--new-pass", "pass:x"})
            .status,
        0);
    ASSERT_EQ(Run({"import-recipient", "--cert", cert}).status, 0);
    // One certificate has one id wherever it is: each match is shown with what removes it alone.
    std::string id = Fingerprint(m.der).substr(0, 16);
    for (const std::string& what : {std::string("cn=Twice"), id.substr(0, 8)}) {
        ToolRun run = Run({"remove", what});
        EXPECT_EQ(run.status, 1);
        EXPECT_THAT(run.err, HasSubstr("3 entries match " + what));
        for (const char* where : {"--medium 0 ", "--medium 1 ", "--recipients "}) {
            EXPECT_THAT(run.err, HasSubstr(std::string("\n  remove ") + where + id)) << where;
        }
    }
    ASSERT_EQ(Run({"remove", "--medium", "1", id}).status, 0);
    ASSERT_EQ(Run({"remove", "--recipients", "cn=Twice"}).status, 0);
    EXPECT_EQ(Entries(store_.path() / "medium0", true).size(), 1u);
    EXPECT_TRUE(Entries(store_.path() / "medium1", true).empty());
    EXPECT_TRUE(Entries(store_.path() / "recipients", false).empty());
}

// What list shows as damaged, remove takes away by the same name or id.
TEST_F(Tool, ListShowsEntriesThatQuillmarkCannotUse) {
    fs::path medium = store_.path() / "medium0";
    fs::create_directory(medium / "broken");
    WriteBytes(medium / "broken" / "cert.der", {0x30, 0x03});
    Made keyless = MakeCertificate({{"CN", "Keyless"}});
    std::string id = AddRecipient(medium, keyless); // an own entry without its key
    MakeOptions big;
    big.exactSize = 3100;
    AddRecipient(store_.path() / "recipients", MakeCertificate({{"CN", "Big"}}, big));
    // A DN that holds the DN lists' separator, put there by hand: the tool does not store one.
    Made split = MakeCertificate({{"CN", "A|B"}});
    std::string splitId = AddOwn(medium, split);
    ToolRun run = Run({"list"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("damaged entry broken"));
    EXPECT_THAT(run.out, HasSubstr("damaged entry " + id));
    EXPECT_THAT(run.out, HasSubstr("not usable by Quillmark: the certificate is larger"));
    EXPECT_THAT(run.out, HasSubstr("cn=A|B\n"));
    EXPECT_THAT(run.out, HasSubstr("not usable by Quillmark: its DN contains \"|\""));
    run = Run({"import-user", "--cert", File("split.der", split.der), "--key",
               File("split.key", PemKey(split.key.get())), "--new-pass", "pass:x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("DN contains \"|\""));
    ASSERT_EQ(Run({"remove", "cn=A|B"}).status, 0);

    run = Run({"remove", "broken"});
    ASSERT_EQ(run.status, 0) << run.err;
    run = Run({"remove", "--medium", "0", id.substr(0, 10)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("removed from medium 0: damaged entry " + id));
    EXPECT_TRUE(fs::is_empty(medium));
}

TEST_F(Tool, KeepsAMediumInAnotherFolder) {
    ScratchFolder stick;
    fs::create_directory(stick.path() / "certs");
    ToolRun run = Run({"medium", "2", (stick.path() / "certs").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    Made m = MakeCertificate({{"CN", "Mobile"}});
    run = Run({"import-user", "--medium", "2", "--cert", File("c.der", m.der), "--key",
               File("k.pem", PemKey(m.key.get())), "--new-pass", "pass:x"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Entries(stick.path() / "certs", true).size(), 1u);
    EXPECT_TRUE(Entries(store_.path() / "medium2", true).empty());
    ASSERT_EQ(Run({"medium", "2", "--default"}).status, 0);
    EXPECT_EQ(Run({"medium", "2"}).out, "medium 2: " + (store_.path() / "medium2").string() + "\n");
}

// The DNs in a store are people's names and the keys theirs. Every write leaves the root, and
// whatever it makes, to the store's user alone: a store that an older tool left open too.
TEST_F(Tool, EveryWriteKeepsTheStoreToItsUser) {
    const fs::path& root = store_.path();
    EXPECT_EQ(Mode(root), 0700u);
    EXPECT_EQ(Mode(root / "ledra-store"), 0600u);
    for (const char* folder : {"medium0", "medium1", "medium2", "medium3", "recipients"}) {
        EXPECT_EQ(Mode(root / folder), 0700u) << folder;
    }

    chmod(root.c_str(), 0755);
    Made user = MakeCertificate({{"CN", "Open"}});
    ToolRun run = Run({"import-user", "--cert", File("u.der", user.der), "--key",
                       File("u.key", PemKey(user.key.get())), "--new-pass", "pass:x"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Mode(root), 0700u) << "the write tightened the root again";
    fs::path entry = root / "medium0" / Fingerprint(user.der);
    EXPECT_EQ(Mode(entry), 0700u);
    EXPECT_EQ(Mode(entry / "cert.der"), 0600u);
    EXPECT_EQ(Mode(entry / "key.p8"), 0600u);

    chmod(root.c_str(), 0711);
    ASSERT_EQ(Run({"import-recipient", "--cert", File("r.der", user.der)}).status, 0);
    EXPECT_EQ(Mode(root), 0700u);
    EXPECT_EQ(Mode(root / "recipients" / Fingerprint(user.der) / "cert.der"), 0600u);

    fs::path stick = inputs_.path() / "stick" / "quillmark";
    fs::create_directories(stick);
    fs::permissions(stick.parent_path(), fs::perms(0755));
    fs::permissions(stick, fs::perms(0755));
    ASSERT_EQ(Run({"medium", "2", stick.string()}).status, 0);
    EXPECT_EQ(Mode(stick), 0700u);
    EXPECT_EQ(Mode(stick.parent_path()), 0755u) << "only the medium's own folder is the store's";
    EXPECT_EQ(Mode(root / "medium2.link"), 0600u);

    ASSERT_EQ(Run({"demo"}).status, 0);
    EXPECT_EQ(Mode(root / "demo"), 0700u);
    for (const auto& file : fs::directory_iterator(root / "demo")) {
        EXPECT_EQ(Mode(file.path()), 0600u) << file.path();
    }
}

// A root that another local user owns may hold whatever that user planted, and anything written
// there would be theirs to read: the tool neither reads nor writes it.
TEST_F(Tool, NeitherReadsNorWritesAStoreThatAnotherUserOwns) {
    Made user = MakeCertificate({{"CN", "Kept"}});
    std::string cert = File("c.der", user.der);
    GivenToAnotherUser other(store_.path());
    if (!other.given()) {
        GTEST_SKIP() << "only root can give a folder to another user";
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"list"},
             {"init"},
             {"import-recipient", "--cert", cert},
             {"import-user", "--cert", cert, "--key", File("k", PemKey(user.key.get())),
              "--new-pass", "pass:x"},
             {"remove", "cn=Kept"},
             {"medium", "1", "--default"},
             {"demo"}}) {
        ToolRun run = Run(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_THAT(run.err, HasSubstr("belongs to another user")) << args[0];
    }
    EXPECT_TRUE(Entries(store_.path() / "recipients", false).empty());
    EXPECT_TRUE(Entries(store_.path() / "medium0", true).empty());
    EXPECT_FALSE(fs::exists(store_.path() / "demo"));
}

// A medium elsewhere must be there (an unmounted stick's mount point would take the keys onto the
// system's disk) and be the user's alone, as the root is: otherwise nothing changes.
TEST_F(Tool, KeepsAMediumOnlyInAnExistingFolderOfTheUsersOwn) {
    fs::path missing = inputs_.path() / "unmounted" / "certs";
    fs::path open = inputs_.path() / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms(0777));
    for (const auto& [path, message] : std::vector<std::pair<fs::path, const char*>>{
             {missing, "does not exist"},
             {File("file", "not a folder"), "is not a folder"},
             {open, "can be written by other users"}}) {
        ToolRun run = Run({"medium", "1", path.string()});
        EXPECT_EQ(run.status, 1) << path;
        EXPECT_THAT(run.err, HasSubstr(message));
    }
    EXPECT_FALSE(fs::exists(missing.parent_path()));
    EXPECT_FALSE(fs::exists(store_.path() / "medium1.link"));
    EXPECT_EQ(Mode(open), 0777u);
    // Who may write, and how to close it.
    ToolRun refused = Run({"medium", "1", open.string()});
    EXPECT_THAT(refused.err, HasSubstr("(its group and everyone)"));
    EXPECT_THAT(refused.err, HasSubstr("\n    chmod go-w '" + open.string() + "'\n"));

    // A medium that became open since it was chosen is refused at once, and shown so.
    ScratchFolder stick;
    ASSERT_EQ(Run({"medium", "3", stick.path().string()}).status, 0);
    fs::permissions(stick.path(), fs::perms(0770));
    Made user = MakeCertificate({{"CN", "Late"}});
    ToolRun run = Run({"import-user", "--medium", "3", "--cert", File("c.der", user.der), "--key",
                       File("k.pem", PemKey(user.key.get())), "--new-pass", "pass:x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("can be written by other users"));
    EXPECT_THAT(Run({"list", "--medium", "3"}).out, HasSubstr("(refused: the folder can be"));
    EXPECT_TRUE(fs::is_empty(stick.path()));

    fs::permissions(stick.path(), fs::perms(0700));
    GivenToAnotherUser other(stick.path());
    if (!other.given()) {
        GTEST_SKIP() << "only root can give a folder to another user";
    }
    run = Run({"medium", "2", stick.path().string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("belongs to another user"));
}

// A root that others may write to may hold what they planted: neither read nor written, nor
// tightened as if nothing had happened.
TEST_F(Tool, NeitherReadsNorWritesAStoreThatOthersMayWriteTo) {
    fs::permissions(store_.path(), fs::perms(0775));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"list"}, {"init"}, {"demo"}}) {
        ToolRun run = Run(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_THAT(run.err, HasSubstr("can be written by other users")) << args[0];
    }
    EXPECT_EQ(Mode(store_.path()), 0775u);
    EXPECT_FALSE(fs::exists(store_.path() / "demo"));
}

// With HOME unset (a service, say) there is no store to fall back on in whatever folder the tool
// runs in: a root is an absolute path or there is none.
TEST_F(Tool, MakesNoStoreWhereNoAbsoluteRootIsNamed) {
    SavedEnvironment saved({"HOME", "XDG_DATA_HOME", "QUILLMARK_STORE"});
    ScratchFolder here;
    fs::path before = fs::current_path();
    fs::current_path(here.path());
    unsetenv("QUILLMARK_STORE");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    ToolRun unset = RunTool({"init"});
    setenv("HOME", "relative", 1);
    setenv("QUILLMARK_STORE", "store", 1);
    ToolRun relative = RunTool({"init"});
    fs::current_path(before);
    for (const ToolRun& run : {unset, relative}) {
        EXPECT_EQ(run.status, 1);
        EXPECT_THAT(run.err, HasSubstr("no store"));
    }
    EXPECT_THAT(relative.err, HasSubstr("QUILLMARK_STORE is \"store\", which is not an absolute"));
    EXPECT_TRUE(fs::is_empty(here.path()));
}

TEST_F(Tool, DemoRefusesToRunTwiceAndRebuildsWithForce) {
    ToolRun first = Run({"demo"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_THAT(first.out, HasSubstr(demo::kPassword));
    EXPECT_THAT(first.out, HasSubstr((store_.path() / "demo").string()));
    for (const char* file :
         {"ca-bundle.pem", "crl.pem", "arl.pem", "server.pem", "server.key", "root-ca.pem"}) {
        EXPECT_TRUE(fs::is_regular_file(store_.path() / "demo" / file)) << file;
    }
    // An entry of the user's own survives a rebuild.
    Made mine = MakeCertificate({{"CN", "Mine"}});
    AddOwn(store_.path() / "medium0", mine);
    std::vector<Entry> before = Entries(store_.path() / "medium0", true);

    ToolRun second = Run({"demo"});
    EXPECT_EQ(second.status, 1);
    EXPECT_THAT(second.err, HasSubstr("--force"));
    EXPECT_EQ(Entries(store_.path() / "medium0", true).size(), before.size());

    ToolRun forced = Run({"demo", "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    std::vector<Entry> after = Entries(store_.path() / "medium0", true);
    EXPECT_EQ(after.size(), before.size());
    size_t kept = 0;
    for (const Entry& e : after) {
        for (const Entry& b : before) {
            kept += e.id == b.id ? 1 : 0;
        }
    }
    EXPECT_EQ(kept, 1u) << "only the user's own entry is the same after a rebuild";
    EXPECT_EQ(Entries(store_.path() / "recipients", false).size(), 1u);
}

} // namespace
} // namespace ledra::test
