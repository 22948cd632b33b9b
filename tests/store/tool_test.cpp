// ledra-tool from the command line: what it accepts, what it refuses, and what it leaves in the
// store.
#include "store_fixture.h"

#include "store/tool/demo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <sys/stat.h>

namespace ledra::test {
namespace {

using ::testing::HasSubstr;

class Tool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_THAT(Run({"init"}), Ended(0)); }

    ToolRun Run(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--store", store_.path().string()});
        return RunTool(args, input);
    }

    // import-user of a made certificate (DER) and its key (PEM, in the clear), with these options.
    ToolRun ImportUser(const Made& m, std::vector<std::string> options = {"--new-pass", "pass:x"},
                       const std::string& input = {}) {
        options.insert(options.begin(), {"import-user", "--cert", File("user.der", m.der), "--key",
                                         File("user.key", pki::PemPrivateKey(m.key.get()))});
        return Run(options, input);
    }

    // Writes a file into the scratch folder of the inputs and returns its path.
    template <typename Bytes> std::string File(const std::string& name, const Bytes& bytes) {
        WriteFile(inputs_ / name, bytes);
        return (inputs_ / name).string();
    }

    static std::string EncryptedPem(EVP_PKEY* key, const char* password) {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PKCS8PrivateKey(bio, key, EVP_aes_128_cbc(), password,
                                      static_cast<int>(strlen(password)), nullptr, nullptr);
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

    // The entries of a folder of the store (or of another medium's), with their keys but for
    // the recipients'.
    std::vector<Entry> Entries(const fs::path& folder) {
        return ReadEntries(store_ / folder, folder.filename() != "recipients")
            .value_or(std::vector<Entry>());
    }

    ScratchFolder store_;
    ScratchFolder inputs_;
};

TEST_F(Tool, AnswersBadCommandLinesWithAMessageAndStatusTwo) {
    EXPECT_THAT(RunTool({}), Ended(2, "no command"));
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
        EXPECT_THAT(Run(c.args), Ended(2, c.message)) << c.args[0];
    }

    ToolRun run = RunTool({"--help"});
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
        for (const char* text :
             {"usage: ledra-tool import-user", "--key-pass PW", "env:VARIABLE", "Exit status"}) {
            EXPECT_THAT(run.out, HasSubstr(text)) << args[1];
        }
    }

    std::string root = store_.path().string();
    run = RunTool({"list", "--medium=1", "--store", root});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "[medium 1] " + root + "/medium1\n  (empty)\n");

    // list shows a stray folder whose name starts with "-" as a damaged entry by that name.
    fs::create_directory(store_ / "medium0" / "-stray");
    run = Run({"remove", "--", "-stray"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "removed from medium 0: damaged entry -stray\n");
    EXPECT_FALSE(fs::exists(store_ / "medium0" / "-stray"));
}

TEST_F(Tool, RefusesInputsItCannotStoreSoundly) {
    Made user = MakeCertificate({{"CN", "Lee"}});
    Made stranger = MakeCertificate({{"CN", "Park"}});
    std::string cert = File("cert.pem", pki::Pem(user.cert.get()));
    std::string plainKey = File("key.pem", pki::PemPrivateKey(user.key.get()));
    std::string encryptedKey = File("enc.pem", EncryptedPem(user.key.get(), "old"));
    // import-user of a certificate (the user's) and this key, with these options.
    auto withCert = [&](const std::string& key, std::vector<std::string> options,
                        const std::string& certFile = {}) {
        options.insert(options.begin(),
                       {"import-user", "--cert", certFile.empty() ? cert : certFile, "--key", key});
        return options;
    };
    using Args = std::vector<std::string>;
    struct Case {
        int status;
        const char* message;
        std::vector<std::string> args;
    } cases[] = {
        {1, "no such file", withCert(plainKey, {"--new-pass", "pass:x"}, "/nonexistent")},
        {1, "not a certificate",
         withCert(plainKey, {"--new-pass", "pass:x"}, File("junk", "not a certificate"))},
        {1, "is empty", withCert(File("empty", ""), {"--new-pass", "pass:x"})},
        {2, "give --new-pass", withCert(plainKey, {})},
        {1, "does not belong",
         withCert(File("other.pem", pki::PemPrivateKey(stranger.key.get())),
                  {"--new-pass", "pass:x"})},
        {2, "kept as it is", withCert(encryptedKey, {"--new-pass", "pass:x"})},
        {1, "does not open", withCert(encryptedKey, {"--key-pass", "pass:wrong"})},
        {2, "give its password", withCert(encryptedKey, {})},
        // The stranger's key under a password its maker knows, beside the user's certificate.
        {1, "does not belong",
         withCert(File("planted.pem", EncryptedPem(stranger.key.get(), "planted")),
                  {"--key-pass", "pass:planted"})},
        {1, "more work than it allows",
         withCert(File("costly.p8", CostlyKey()), {"--key-pass", "pass:x"})},
        {1, "not a PKCS#12",
         Args{"import-p12", "--p12", cert, "--p12-pass", "pass:a", "--new-pass", "pass:b"}},
        {2, "password is empty", withCert(plainKey, {"--medium", "2", "--new-pass", "-"})},
        {1, "no entry", {"remove", "cn=Nobody"}},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(Run(c.args), Ended(c.status, c.message));
    }
    EXPECT_TRUE(Entries("medium0").empty());
    EXPECT_TRUE(Entries("medium2").empty());
    EXPECT_THAT(RunTool({"--store", (inputs_ / "nostore").string(), "list"}),
                Ended(1, "ledra-tool init"));
}

TEST_F(Tool, KeepsEveryKeyEncrypted) {
    Made plain = MakeCertificate({{"C", "KR"}, {"CN", "평문"}});
    Made encrypted = MakeCertificate({{"C", "KR"}, {"CN", "암호"}});
    Made bundled = MakeCertificate({{"C", "KR"}, {"CN", "묶음"}});

    // A key in the clear (DER certificate, PEM key): encrypted under the new password.
    ToolRun run = ImportUser(plain, {"--medium", "1", "--new-pass", "-"}, "fresh\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("cn=평문,c=KR"));
    std::vector<Entry> m1 = Entries("medium1");
    ASSERT_EQ(m1.size(), 1u);
    EXPECT_EQ(m1[0].cert, plain.der);
    EXPECT_TRUE(pki::DecryptPrivateKey(m1[0].key.span(), pki::Secret("fresh")));

    // An encrypted PKCS#8 key: kept byte for byte, checked with --key-pass.
    WipedBytes p8 = pki::EncryptPrivateKey(encrypted.key.get(), pki::Secret("mine"));
    setenv("LEDRA_TEST_PASS", "mine", 1);
    ASSERT_THAT(Run({"import-user", "--cert", File("e.pem", pki::Pem(encrypted.cert.get())),
                     "--key", File("e.p8", p8.span()), "--key-pass", "env:LEDRA_TEST_PASS"}),
                Ended(0));
    std::vector<Entry> m0 = Entries("medium0");
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
    ASSERT_THAT(Run({"import-p12", "--medium", "3", "--p12", p12File, "--p12-pass",
                     "file:" + File("pw", "p12pass\n"), "--new-pass", "pass:stored"}),
                Ended(0));
    std::vector<Entry> m3 = Entries("medium3");
    ASSERT_EQ(m3.size(), 1u);
    EXPECT_TRUE(pki::DecryptPrivateKey(m3[0].key.span(), pki::Secret("stored")));
    EXPECT_FALSE(pki::DecryptPrivateKey(m3[0].key.span(), pki::Secret("p12pass")));

    EXPECT_THAT(
        Run({"import-p12", "--p12", p12File, "--p12-pass", "pass:nope", "--new-pass", "pass:x"}),
        Ended(1, "wrong password"));
}

TEST_F(Tool, ImportsListsAndRemovesRecipients) {
    Made a = MakeCertificate({{"O", "Tessel"}, {"CN", "Server A"}});
    Made b = MakeCertificate({{"O", "Tessel"}, {"CN", "Server B"}});
    std::string fileA = File("a.pem", pki::Pem(a.cert.get()));
    ASSERT_EQ(Run({"import-recipient", "--cert", fileA}).status, 0);
    ASSERT_EQ(Run({"import-recipient", "--cert", File("b.der", b.der)}).status, 0);
    EXPECT_THAT(Run({"import-recipient", "--cert", fileA}), Ended(1, "already"));

    ToolRun list = Run({"list", "--recipients"});
    ASSERT_EQ(list.status, 0);
    EXPECT_THAT(list.out, HasSubstr("cn=Server A,o=Tessel"));
    EXPECT_THAT(list.out, HasSubstr("expires 2030-03-17"));

    ASSERT_EQ(Run({"remove", "cn=Server A,o=Tessel"}).status, 0);
    std::vector<Entry> left = Entries("recipients");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].subject, "cn=Server B,o=Tessel");
    ASSERT_EQ(Run({"remove", "--recipients", left[0].id.substr(0, 10)}).status, 0);
    EXPECT_TRUE(Entries("recipients").empty());
}

TEST_F(Tool, RemovesOnlyOneOfSeveralMatchesWhenToldWhich) {
    Made m = MakeCertificate({{"CN", "Twice"}});
    ASSERT_EQ(ImportUser(m).status, 0);
    ASSERT_EQ(ImportUser(m, {"--medium", "1", "--new-pass", "pass:x"}).status, 0);
    ASSERT_EQ(Run({"import-recipient", "--cert", File("c.pem", pki::Pem(m.cert.get()))}).status, 0);
    // One certificate has one id wherever it is: each match is shown with what removes it alone.
    std::string id = Fingerprint(m.der).substr(0, 16);
    for (const std::string& what : {std::string("cn=Twice"), id.substr(0, 8)}) {
        ToolRun run = Run({"remove", what});
        EXPECT_THAT(run, Ended(1, "3 entries match " + what));
        for (const char* where : {"--medium 0 ", "--medium 1 ", "--recipients "}) {
            EXPECT_THAT(run.err, HasSubstr(std::string("\n  remove ") + where + id)) << where;
        }
    }
    ASSERT_EQ(Run({"remove", "--medium", "1", id}).status, 0);
    ASSERT_EQ(Run({"remove", "--recipients", "cn=Twice"}).status, 0);
    EXPECT_EQ(Entries("medium0").size(), 1u);
    EXPECT_TRUE(Entries("medium1").empty());
    EXPECT_TRUE(Entries("recipients").empty());
}

// What list shows as damaged, remove takes away by the same name or id.
TEST_F(Tool, ListShowsEntriesThatQuillmarkCannotUse) {
    fs::path medium = store_ / "medium0";
    fs::create_directory(medium / "broken");
    WriteFile(medium / "broken" / "cert.der", "\x30\x03");
    // An own entry without its key.
    std::string id = AddRecipient(medium, MakeCertificate({{"CN", "Keyless"}}));
    AddRecipient(store_ / "recipients", MakeCertificate({{"CN", "Big"}}, {.exactSize = 3100}));
    // A DN that holds the DN lists' separator, put there by hand: the tool does not store one.
    Made split = MakeCertificate({{"CN", "A|B"}});
    AddOwn(medium, split);
    ToolRun run = Run({"list"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("damaged entry broken"));
    EXPECT_THAT(run.out, HasSubstr("damaged entry " + id));
    EXPECT_THAT(run.out, HasSubstr("not usable by Quillmark: the certificate is larger"));
    EXPECT_THAT(run.out, HasSubstr("cn=A|B\n"));
    EXPECT_THAT(run.out, HasSubstr("not usable by Quillmark: its DN contains \"|\""));
    EXPECT_THAT(ImportUser(split), Ended(1, "DN contains \"|\""));
    ASSERT_EQ(Run({"remove", "cn=A|B"}).status, 0);

    ASSERT_THAT(Run({"remove", "broken"}), Ended(0));
    run = Run({"remove", "--medium", "0", id.substr(0, 10)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("removed from medium 0: damaged entry " + id));
    EXPECT_TRUE(fs::is_empty(medium));
}

TEST_F(Tool, KeepsAMediumInAnotherFolder) {
    ScratchFolder stick;
    fs::create_directory(stick / "certs");
    ASSERT_THAT(Run({"medium", "2", (stick / "certs").string()}), Ended(0));
    ASSERT_THAT(
        ImportUser(MakeCertificate({{"CN", "Mobile"}}), {"--medium", "2", "--new-pass", "pass:x"}),
        Ended(0));
    EXPECT_EQ(Entries(stick / "certs").size(), 1u);
    EXPECT_TRUE(Entries("medium2").empty());
    ASSERT_EQ(Run({"medium", "2", "--default"}).status, 0);
    EXPECT_EQ(Run({"medium", "2"}).out, "medium 2: " + (store_ / "medium2").string() + "\n");
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
    ASSERT_THAT(ImportUser(user), Ended(0));
    EXPECT_EQ(Mode(root), 0700u) << "the write tightened the root again";
    fs::path entry = root / "medium0" / Fingerprint(user.der);
    EXPECT_EQ(Mode(entry), 0700u);
    EXPECT_EQ(Mode(entry / "cert.der"), 0600u);
    EXPECT_EQ(Mode(entry / "key.p8"), 0600u);

    chmod(root.c_str(), 0711);
    ASSERT_EQ(Run({"import-recipient", "--cert", File("r.der", user.der)}).status, 0);
    EXPECT_EQ(Mode(root), 0700u);
    EXPECT_EQ(Mode(root / "recipients" / Fingerprint(user.der) / "cert.der"), 0600u);

    fs::path stick = inputs_ / "stick" / "quillmark";
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
    EXPECT_THAT(ImportUser(user), Ended(1, "belongs to another user")) << "import-user";
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"list"},
                                               {"init"},
                                               {"import-recipient", "--cert", cert},
                                               {"remove", "cn=Kept"},
                                               {"medium", "1", "--default"},
                                               {"demo"}}) {
        EXPECT_THAT(Run(args), Ended(1, "belongs to another user")) << args[0];
    }
    EXPECT_TRUE(Entries("recipients").empty());
    EXPECT_TRUE(Entries("medium0").empty());
    EXPECT_FALSE(fs::exists(store_ / "demo"));
}

// A medium elsewhere must be there (an unmounted stick's mount point would take the keys onto the
// system's disk) and be the user's alone, as the root is: otherwise nothing changes.
TEST_F(Tool, KeepsAMediumOnlyInAnExistingFolderOfTheUsersOwn) {
    fs::path missing = inputs_ / "unmounted" / "certs";
    fs::path open = inputs_ / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms(0777));
    for (const auto& [path, message] : std::vector<std::pair<fs::path, const char*>>{
             {missing, "does not exist"},
             {File("file", "not a folder"), "is not a folder"},
             {open, "can be written by other users"}}) {
        EXPECT_THAT(Run({"medium", "1", path.string()}), Ended(1, message)) << path;
    }
    EXPECT_FALSE(fs::exists(missing.parent_path()));
    EXPECT_FALSE(fs::exists(store_ / "medium1.link"));
    EXPECT_EQ(Mode(open), 0777u);
    // Who may write, and how to close it.
    ToolRun refused = Run({"medium", "1", open.string()});
    EXPECT_THAT(refused.err, HasSubstr("(its group and everyone)"));
    EXPECT_THAT(refused.err, HasSubstr("\n    chmod go-w '" + open.string() + "'\n"));

    // A medium that became open since it was chosen is refused at once, and shown so.
    ScratchFolder stick;
    ASSERT_EQ(Run({"medium", "3", stick.path().string()}).status, 0);
    fs::permissions(stick.path(), fs::perms(0770));
    EXPECT_THAT(
        ImportUser(MakeCertificate({{"CN", "Late"}}), {"--medium", "3", "--new-pass", "pass:x"}),
        Ended(1, "can be written by other users"));
    EXPECT_THAT(Run({"list", "--medium", "3"}).out, HasSubstr("(refused: the folder can be"));
    EXPECT_TRUE(fs::is_empty(stick.path()));

    fs::permissions(stick.path(), fs::perms(0700));
    GivenToAnotherUser other(stick.path());
    if (!other.given()) {
        GTEST_SKIP() << "only root can give a folder to another user";
    }
    EXPECT_THAT(Run({"medium", "2", stick.path().string()}), Ended(1, "belongs to another user"));
}

// A root that others may write to may hold what they planted: neither read nor written, nor
// tightened as if nothing had happened.
TEST_F(Tool, NeitherReadsNorWritesAStoreThatOthersMayWriteTo) {
    fs::permissions(store_.path(), fs::perms(0775));
    for (const char* command : {"list", "init", "demo"}) {
        EXPECT_THAT(Run({command}), Ended(1, "can be written by other users")) << command;
    }
    EXPECT_EQ(Mode(store_.path()), 0775u);
    EXPECT_FALSE(fs::exists(store_ / "demo"));
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
    EXPECT_THAT(unset, Ended(1, "no store"));
    EXPECT_THAT(relative, Ended(1, "no store"));
    EXPECT_THAT(relative.err, HasSubstr("QUILLMARK_STORE is \"store\", which is not an absolute"));
    EXPECT_TRUE(fs::is_empty(here.path()));
}

TEST_F(Tool, DemoRefusesToRunTwiceAndRebuildsWithForce) {
    ToolRun first = Run({"demo"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_THAT(first.out, HasSubstr(demo::kPassword));
    EXPECT_THAT(first.out, HasSubstr((store_ / "demo").string()));
    for (const char* file :
         {"ca-bundle.pem", "crl.pem", "arl.pem", "server.pem", "server.key", "root-ca.pem"}) {
        EXPECT_TRUE(fs::is_regular_file(store_ / "demo" / file)) << file;
    }
    // An entry of the user's own survives a rebuild.
    AddOwn(store_ / "medium0", MakeCertificate({{"CN", "Mine"}}));
    std::vector<Entry> before = Entries("medium0");

    EXPECT_THAT(Run({"demo"}), Ended(1, "--force"));
    EXPECT_EQ(Entries("medium0").size(), before.size());

    ASSERT_THAT(Run({"demo", "--force"}), Ended(0));
    std::vector<Entry> after = Entries("medium0");
    EXPECT_EQ(after.size(), before.size());
    auto kept = std::count_if(after.begin(), after.end(), [&](const Entry& e) {
        return std::any_of(before.begin(), before.end(),
                           [&](const Entry& b) { return b.id == e.id; });
    });
    EXPECT_EQ(kept, 1) << "only the user's own entry is the same after a rebuild";
    EXPECT_EQ(Entries("recipients").size(), 1u);
}

} // namespace
} // namespace ledra::test
