// The crypto objects over the real engine core, checked against the OpenSSL command line: what
// the objects seal and encipher, a server with stock OpenSSL must open, and what such a server
// writes, the objects must read.
#include "crypto/CertValidator.h"
#include "crypto/Credential.h"
#include "crypto/SessionKey.h"
#include "external/engine.h"
#include "platform/ciphers.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

class OpenSslInterop : public ::testing::Test {
protected:
    static std::optional<qmtest::TempDir> scratch;
    static fs::path dir;

    static void SetUpTestSuite() {
        qm::BindEngineForTesting(nullptr);
        dir = scratch.emplace("qm-crypto").path();
        Write("ca.cnf", "[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\ncrlnumber=crlnumber\n"
                        "default_md=sha256\ndefault_crl_days=30\n");
        Write("index.txt", "");
        Write("crlnumber", "01\n");
        // An RSA and an EC recipient, and a small CA with one issued certificate and a CRL.
        const std::string ec = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
        const std::string ca = "openssl ca -config ca.cnf -keyfile ca.key -cert ca.pem ";
        for (const std::string& command : {
                 std::string(
                     "openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -out rsa.pem "
                     "-subj /CN=rsa -days 30"),
                 ec + "-x509 -keyout ec.key -out ec.pem -subj /CN=ec -days 30",
                 ec + "-x509 -keyout ca.key -out ca.pem -subj /CN=ca -days 30",
                 ec + "-x509 -keyout other.key -out other.pem -subj /CN=other -days 30",
                 ec + "-keyout user.key -out user.csr -subj /CN=user && "
                      "openssl x509 -req -in user.csr -CA ca.pem -CAkey ca.key -set_serial 7 "
                      "-days 10 -out user.pem && "
                      "openssl x509 -in user.pem -outform DER -out user.der",
                 ca + "-gencrl -out clean.crl && " + ca + "-revoke user.pem && " + ca +
                     "-gencrl -out revoked.crl",
             }) {
            ASSERT_EQ(Sh(command), 0) << command << Errors();
        }
    }

    static void TearDownTestSuite() { scratch.reset(); }

    // Runs a shell command in the work folder; its exit status (stderr kept in err.txt).
    static int Sh(const std::string& command) {
        std::string line = "cd '" + dir.string() + "' && { " + command + " ; } >>out.txt 2>err.txt";
        int status = std::system(line.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string Read(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void Write(const std::string& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
    }
    static std::string Errors() { return Read("err.txt"); }
    // Runs quillmark-server with `arguments`; its exit status.
    static int Server(const std::string& arguments) {
        return Sh(std::string(QM_SERVER_PATH) + " " + arguments);
    }
    // Writes to `file` what a page sends for `length` bytes of `material`, sealed for rsa.pem.
    static void SealForRsa(const std::vector<uint8_t>& material, int length, const char* file) {
        CEnvelope envelope;
        ASSERT_EQ(envelope.SetCertificateText(Read("rsa.pem").c_str()), 0);
        ASSERT_EQ(envelope.Seal(material.data(), length), 0);
        Write(file, envelope.GetSealedText());
    }
};

std::optional<qmtest::TempDir> OpenSslInterop::scratch;
fs::path OpenSslInterop::dir;

std::string Hex(const ByteBuffer& bytes) {
    std::string hex;
    for (int i = 0; i < bytes.length; ++i) {
        hex += {"0123456789abcdef"[bytes.data[i] >> 4], "0123456789abcdef"[bytes.data[i] & 15]};
    }
    return hex;
}

// `size` bytes that follow `step` * i + `start`.
std::vector<uint8_t> Pattern(size_t size, int step, int start) {
    std::vector<uint8_t> bytes(size);
    std::ranges::generate(bytes, [&, i = 0]() mutable { return uint8_t(i++ * step + start); });
    return bytes;
}

TEST_F(OpenSslInterop, SealedKeyMaterialOpensWithCmsForRsaAndEcRecipients) {
    std::vector<uint8_t> material = Pattern(32, 7, 1);
    for (std::string name : {"rsa", "ec"}) {
        SCOPED_TRACE(name);
        CEnvelope envelope;
        ASSERT_EQ(envelope.SetCertificateText(Read(name + ".pem").c_str()), 0);
        // The digest text is the SHA-1 of exactly the DER bytes.
        ASSERT_EQ(Sh("openssl x509 -in " + name +
                     ".pem -outform DER | openssl dgst -sha1 -binary "
                     "| openssl base64 -A > digest.txt"),
                  0);
        EXPECT_EQ(std::string(envelope.GetDigestText()), Read("digest.txt"));

        ASSERT_EQ(envelope.Seal(material.data(), 32), 0);
        Write("sealed.b64", std::string(envelope.GetSealedText()) + "\n");
        ASSERT_EQ(Sh("openssl base64 -d -A -in sealed.b64 -out sealed.der && "
                     "openssl cms -decrypt -inform DER -in sealed.der -inkey " +
                     name + ".key -recip " + name + ".pem -out opened.bin"),
                  0)
            << Errors();
        EXPECT_EQ(Read("opened.bin"), std::string(material.begin(), material.end()));
    }
}

TEST_F(OpenSslInterop, EveryCipherInteroperatesWithOpensslEnc) {
    std::vector<uint8_t> material = Pattern(48, 29, 3);
    // Code-page text, a text of exactly one AES block, and a one-byte text.
    const std::string texts[] = {"\xC7\xD1\xB1\xDB text 123", "0123456789abcdef", "x"};

    for (const qm::CipherRow& a : qm::kCiphers) {
        SCOPED_TRACE(a.name);
        int32_t id = -1;
        ASSERT_EQ(qm::Engine().CV_CipherId(a.name, &id), 0);
        CSessionCipher cipher(a.name);
        ASSERT_EQ(cipher.GetStatus(), 0);
        EXPECT_EQ(cipher.GetAlgorithmId(), id);
        ASSERT_EQ(cipher.SetKeyMaterial(material.data(), int(material.size())), 0);
        ASSERT_EQ(cipher.GetKey().length, a.keyLength);
        ASSERT_EQ(cipher.GetIv().length, a.ivLength);
        std::string option = a.evpName;
        std::ranges::transform(option, option.begin(),
                               [](unsigned char c) { return std::tolower(c); });
        std::string enc = "openssl enc -provider legacy -provider default -" + option + " -K " +
                          Hex(cipher.GetKey()) + " -iv " + Hex(cipher.GetIv()) + " -a -A";

        for (const std::string& text : texts) {
            ASSERT_EQ(cipher.Encipher(text.c_str()), 0);
            Write("cipher.b64", std::string(cipher.GetCipherText()) + "\n");
            ASSERT_EQ(Sh(enc + " -d -in cipher.b64 -out plain.bin"), 0) << Errors();
            EXPECT_EQ(Read("plain.bin"), text);

            Write("plain.txt", text);
            ASSERT_EQ(Sh(enc + " -e -in plain.txt -out theirs.b64"), 0) << Errors();
            std::string theirs = Read("theirs.b64");
            ASSERT_EQ(cipher.Decipher(theirs.c_str()), 0);
            EXPECT_EQ(std::string(cipher.GetPlainText()), text);
        }

        // Ciphertext under another key is refused, and the refusal recorded.
        CSessionCipher stranger(id);
        std::vector<uint8_t> other(material.rbegin(), material.rend());
        ASSERT_EQ(stranger.SetKeyMaterial(other.data(), int(other.size())), 0);
        EXPECT_NE(stranger.Decipher(cipher.GetCipherText()), 0);
        EXPECT_NE(stranger.GetStatus(), 0);
        EXPECT_EQ(stranger.GetPlainText(), nullptr);
    }
}

TEST_F(OpenSslInterop, UnlocksOpensslWrittenPkcs8Keys) {
    // PBES2 with AES, and one of the PKCS#12 PBEs, as PEM and as DER.
    ASSERT_EQ(Sh("openssl pkcs8 -topk8 -in rsa.key -v2 aes-256-cbc -passout pass:s3cret "
                 "-out pbes2.pem && "
                 "openssl pkcs8 -topk8 -in ec.key -v1 PBE-SHA1-3DES -passout pass:s3cret "
                 "-outform DER -out pbe.der"),
              0)
        << Errors();

    CDigestCredential pem("SHA1");
    ASSERT_EQ(pem.GetStatus(), 0);
    ASSERT_EQ(pem.UnlockPrivateKeyText(Read("pbes2.pem").c_str(), "s3cret"), 0);
    EXPECT_GT(pem.GetPrivateKey().length, 0);

    CDigestCredential der("SHA1");
    std::string bytes = Read("pbe.der");
    ByteBuffer encrypted{int32_t(bytes.size()), reinterpret_cast<uint8_t*>(bytes.data())};
    ASSERT_EQ(der.UnlockPrivateKey(encrypted, "s3cret"), 0);
    EXPECT_GT(der.GetPrivateKey().length, 0);

    int32_t wrong = der.UnlockPrivateKey(encrypted, "s3cre");
    EXPECT_NE(wrong, 0);
    EXPECT_EQ(der.GetStatus(), wrong);
    EXPECT_EQ(der.GetPrivateKey().length, 0);
    EXPECT_NE(pem.UnlockPrivateKeyText(Read("pbes2.pem").c_str(), "S3CRET"), 0);

    ASSERT_EQ(der.UnlockPrivateKey(encrypted, "s3cret"), 0);
    EXPECT_EQ(der.UnlockPrivateKey(encrypted, ""), qm::kNothingToCopy);
    EXPECT_GT(der.GetPrivateKey().length, 0);

    // Given a certificate, a credential unlocks only that certificate's key: the EC key opens
    // with its password, but it is not the RSA certificate's.
    CDigestCredential rsa("SHA1");
    ASSERT_EQ(rsa.SetCertificateText(Read("rsa.pem").c_str()), 0);
    EXPECT_EQ(rsa.UnlockPrivateKey(encrypted, "s3cret"), qm::kEngineKeyNotForCertificate);
    EXPECT_EQ(rsa.GetPrivateKey().length, 0);
    EXPECT_EQ(rsa.UnlockPrivateKeyText(Read("pbes2.pem").c_str(), "s3cret"), 0);
    ASSERT_EQ(der.SetCertificateText(Read("ec.pem").c_str()), 0);
    EXPECT_EQ(der.UnlockPrivateKey(encrypted, "s3cret"), 0);
}

// What quillmark-server tells whoever sent it a sealed text and a ciphertext. If it said why it
// refused them, an attacker would learn from each changed ciphertext whether its padding held (a
// padding oracle) and so read the plaintext: every refusal reads alike.
TEST_F(OpenSslInterop, TheServerRefusesEveryDamagedTextWithOneMessage) {
    std::vector<uint8_t> material = Pattern(32, 13, 5);
    ASSERT_NO_FATAL_FAILURE(SealForRsa(material, 32, "sealed.txt"));
    // Key material too short for AES: 8 bytes.
    ASSERT_NO_FATAL_FAILURE(SealForRsa(material, 8, "short.txt"));
    CSessionCipher cipher("AES");
    ASSERT_EQ(cipher.SetKeyMaterial(material.data(), int(material.size())), 0);
    ASSERT_EQ(cipher.Encipher("attack at dawn, twice over"), 0);
    Write("cipher.txt", cipher.GetCipherText());
    // One block that deciphers to sixteen zero bytes: its padding is wrong whatever else is.
    Write("zeros.bin", std::string(16, '\0'));
    ASSERT_EQ(Sh("openssl enc -aes-128-cbc -nopad -K " + Hex(cipher.GetKey()) + " -iv " +
                 Hex(cipher.GetIv()) + " -a -A -in zeros.bin -out badpad.txt"),
              0)
        << Errors();
    Write("garbage.txt", "not Base64 at all!");
    Write("odd.txt", "AAAAAAAAAAAAAAAAAAAA"); // 15 bytes: not whole blocks
    Write("notcms.txt", "MAMCAQE=");          // DER, but no CMS structure

    auto server = [&](const std::string& key, const std::string& sealed, const std::string& text) {
        Server("--key " + key + " --cert rsa.pem --algorithm AES --sealed " + sealed +
               " --cipher " + text);
        return Errors();
    };
    ASSERT_EQ(Server("--key rsa.key --cert rsa.pem --algorithm AES --sealed sealed.txt "
                     "--cipher cipher.txt > opened.txt"),
              0)
        << Errors();
    EXPECT_EQ(Read("opened.txt"), "attack at dawn, twice over\n");

    const std::string refused = "quillmark-server: the sealed text or the ciphertext was refused\n";
    const std::pair<const char*, const char*> attacks[] = {
        {"sealed.txt", "badpad.txt"},  {"sealed.txt", "garbage.txt"}, {"sealed.txt", "odd.txt"},
        {"garbage.txt", "cipher.txt"}, {"notcms.txt", "cipher.txt"},  {"short.txt", "cipher.txt"},
        {"cipher.txt", "cipher.txt"},
    };
    for (const auto& [sealed, text] : attacks) {
        SCOPED_TRACE(std::string(sealed) + " " + text);
        EXPECT_EQ(server("rsa.key", sealed, text), refused);
    }
    // The server's own setup is the operator's to fix, and says so.
    EXPECT_NE(server("rsa.pem", "sealed.txt", "cipher.txt"), refused);

    // Key transports that Quillmark never sends are refused like damage: PKCS#1 v1.5 (an oracle
    // on the server's key) and OAEP with other digests. OAEP with SHA-256 opens, whoever sealed.
    Write("material.bin", std::string(material.begin(), material.end()));
    const std::pair<const char*, const char*> transports[] = {
        {"pkcs1.txt", "rsa_padding_mode:pkcs1"},
        {"oaep-sha1.txt", "rsa_padding_mode:oaep"},
        {"mgf1-sha1.txt",
         "rsa_padding_mode:oaep -keyopt rsa_oaep_md:sha256 -keyopt rsa_mgf1_md:sha1"},
        {"oaep.txt", "rsa_padding_mode:oaep -keyopt rsa_oaep_md:sha256 -keyopt rsa_mgf1_md:sha256"},
    };
    for (const auto& [sealed, options] : transports) {
        ASSERT_EQ(Sh(std::string("openssl cms -encrypt -binary -aes-256-cbc -outform DER -in "
                                 "material.bin -recip rsa.pem -keyopt ") +
                     options + " | openssl base64 -A > " + sealed),
                  0)
            << Errors();
        EXPECT_EQ(server("rsa.key", sealed, "cipher.txt"),
                  std::string(sealed) == "oaep.txt" ? "" : refused)
            << sealed;
    }

    // The key's password from each source that the store's tool takes too (the one rule is
    // tested with the command-line conventions); given as it is, where every local user sees it,
    // it is still taken, with a warning.
    ASSERT_EQ(Sh("printf 's3cret\\n' > pw.txt && openssl pkey -in rsa.key -aes256 -passout "
                 "file:pw.txt -out rsa-pw.key"),
              0);
    setenv("QM_SERVER_KEY_PASS", "s3cret", 1);
    const std::string withPassword =
        "--key rsa-pw.key --algorithm AES --sealed sealed.txt --cipher cipher.txt --password ";
    for (const char* password :
         {"env:QM_SERVER_KEY_PASS", "file:pw.txt", "pass:s3cret", "- < pw.txt", "s3cret"}) {
        EXPECT_EQ(Server(withPassword + password), 0) << password << Errors();
        EXPECT_EQ(std::string(password) == "s3cret",
                  Errors().find("every local user") != std::string::npos);
    }
    EXPECT_EQ(Server(withPassword + "env:QM_UNSET"), 2);
    EXPECT_NE(Errors().find("--password: the variable QM_UNSET is not set"), std::string::npos);
    EXPECT_EQ(Server("--key rsa-pw.key --algorithm AES --sealed - --cipher cipher.txt "
                     "--password - < pw.txt"),
              2);
    EXPECT_NE(Errors().find("can read standard input"), std::string::npos);
    unsetenv("QM_SERVER_KEY_PASS");
}

// The server's own key and certificate and its command line are the operator's to fix: each fault
// is told in one line that says what to do (never OpenSSL's error stack), a bad command line with
// status 2.
TEST_F(OpenSslInterop, TheServerTellsItsOperatorWhatToFix) {
    std::vector<uint8_t> material(32, 0x5a);
    ASSERT_NO_FATAL_FAILURE(SealForRsa(material, 32, "page-sealed.txt"));
    CSessionCipher cipher("AES");
    ASSERT_EQ(cipher.SetKeyMaterial(material.data(), int(material.size())), 0);
    ASSERT_EQ(cipher.Encipher("\xC7\xD1\xB1\xDB"), 0); // "한글" in code page 949
    Write("page-cipher.txt", cipher.GetCipherText());
    ASSERT_EQ(Sh("openssl pkey -in rsa.key -outform DER -out plain-key.der && "
                 "openssl x509 -in rsa.pem -outform DER -out cert.der && "
                 "openssl pkcs8 -topk8 -in rsa.key -v2 aes-256-cbc -passout pass:s3cret "
                 "-outform DER -out encrypted-key.der && "
                 "openssl pkey -in rsa.key -aes256 -passout pass:s3cret -out encrypted-key.pem && "
                 "echo wrong > wrong.txt"),
              0)
        << Errors();

    const std::string texts = " --algorithm AES --sealed page-sealed.txt --cipher page-cipher.txt";
    const struct {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {"--key=plain-key.der --cert=cert.der --code-page=949" + texts, 0, ""},
        {"--key encrypted-key.der" + texts, 2,
         "encrypted-key.der is encrypted: give its password with --password env:VAR or "
         "--password file:PATH"},
        {"--key encrypted-key.pem" + texts, 2, "is encrypted"},
        {"--key encrypted-key.der --password file:wrong.txt" + texts, 1,
         "the password does not open"},
        {"--key rsa.pem" + texts, 1, "rsa.pem holds no private key"},
        {"--key rsa.key --cert rsa.key" + texts, 1, "rsa.key holds no certificate"},
        {"--key rsa.key --cert ec.pem" + texts, 1, "does not belong to the server's private key"},
        {"--key rsa.key --code-page NOPE" + texts, 2, "'NOPE'; give the page's ANSI code page"},
        {"--key rsa.key --colour" + texts, 2, "unknown option --colour"},
        {"--key rsa.key --show-key=no" + texts, 2, "--show-key takes no value"},
        {"--key rsa.key --algorithm AES --sealed page-sealed.txt", 2, "--cipher is required"},
        // A misspelt option is the fault, not the option it leaves unset.
        {"--key rsa.key --algoritm AES --sealed page-sealed.txt --cipher page-cipher.txt", 2,
         "unknown option --algoritm (did you mean --algorithm?)"},
        {"--key rsa.key --sealed page-sealed.txt --ciphre page-cipher.txt --algorithm AES", 2,
         "unknown option --ciphre (did you mean --cipher?)"},
        {"--key rsa.key --colour --algorithm AES --sealed page-sealed.txt", 2,
         "unknown option --colour\n"},
        {"--key rsa.key --algorithm RC4 --sealed page-sealed.txt --cipher page-cipher.txt", 2,
         "unknown algorithm 'RC4'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(Server(c.args + " > opened.txt"), c.status);
        std::string err = Errors();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.find("routines"), std::string::npos) << err;
        size_t lines = std::count(err.begin(), err.end(), '\n');
        EXPECT_EQ(lines, c.status == 2 ? 2u : c.status) << "the message, and the hint to --help";
    }
    EXPECT_EQ(Read("opened.txt"), "") << "a failed run prints nothing on standard output";
    ASSERT_EQ(Server(cases[0].args + " > opened.txt"), 0);
    EXPECT_EQ(Read("opened.txt"), "한글\n");
    // --show-key tells the operator on standard error; the plaintext stays alone on the output.
    ASSERT_EQ(Server("--show-key " + cases[0].args + " > opened.txt"), 0);
    EXPECT_EQ(Read("opened.txt"), "한글\n");
    EXPECT_EQ(Errors(), "quillmark-server: session key and IV: 32 bytes\n");

    ASSERT_EQ(Server("--version > version.txt"), 0);
    EXPECT_EQ(Read("version.txt"), "quillmark-server " QM_VERSION_DOTTED "\n");
    ASSERT_EQ(Server("--help > help.txt"), 0);
    EXPECT_NE(Read("help.txt").find("Exit status: 0 done, 1 failed, 2 bad command line."),
              std::string::npos);
}

TEST_F(OpenSslInterop, ValidationAgreesWithOpensslVerify) {
    std::string user = Read("user.der");
    const uint8_t* der = reinterpret_cast<const uint8_t*>(user.data());
    const std::tuple<std::string, std::string, bool> cases[] = {{"ca.pem", "", true},
                                                                {"ca.pem", "clean.crl", true},
                                                                {"ca.pem", "revoked.crl", false},
                                                                {"other.pem", "", false}};
    for (const auto& [ca, crl, valid] : cases) {
        const std::string verify = "openssl verify " +
                                   (crl.empty() ? "" : "-crl_check -CRLfile " + crl + " ") +
                                   "-CAfile " + ca + " user.pem";
        SCOPED_TRACE(verify);
        ASSERT_EQ(Sh(verify) == 0, valid);
        CCertValidator validator;
        ASSERT_EQ(validator.SetCertificate(int(user.size()), der), 0);
        ASSERT_EQ(validator.SetCaCertificates(Read(ca).c_str()), 0);
        ASSERT_EQ(validator.SetCrl(crl.empty() ? "" : Read(crl).c_str()), 0);
        ASSERT_EQ(validator.SetArl(""), 0);
        EXPECT_EQ(validator.Validate() == 0, valid);
    }
}

} // namespace
