// Certificate parsing, and path validation compared case by case with `openssl verify`.
#include "platform/OpenSslOwners.h"
#include "tests/engine/engine_test.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/pki.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace {

using namespace engine_test;
using namespace qm::testing;
namespace fs = std::filesystem;

std::string Q(const fs::path& p) {
    return ShellQuote(p.string());
}

// The number N of the first "error N at D depth lookup" line of `openssl verify`; 0 for none.
int FirstError(const std::string& output) {
    for (size_t pos = output.find("error "); pos != std::string::npos;
         pos = output.find("error ", pos + 1)) {
        size_t digits = pos + 6;
        size_t end = output.find_first_not_of("0123456789", digits);
        if (end != digits && end != std::string::npos && output.compare(end, 4, " at ") == 0) {
            return std::stoi(output.substr(digits, end - digits));
        }
    }
    return 0;
}

// Root ──┬─ Inter ─┬─ Valid, Expired, NotYet (RSA and EC leaves)
//        │         └─ Revoked (on Inter's CRL)
//        └─ Dropped (a CA that Root revokes: on Root's CRL, the ARL) ── UnderDropped
// Other ─── Stranger
class Verification : public ::testing::Test {
protected:
    struct Pki {
        TempDir dir{"qm-verify"};
        Authority root = Authority::Root(dir.path(), "Root");
        Authority inter = root.Intermediate("Inter", KeyKind::Ec);
        Authority dropped = root.Intermediate("Dropped");
        Authority other = Authority::Root(dir.path(), "Other");
        Credential valid = inter.Issue("Valid");
        Credential validEc = inter.Issue("ValidEc", KeyKind::Ec);
        Credential expired = inter.Issue("Expired", KeyKind::Rsa, Validity::Expired());
        Credential notYet = inter.Issue("NotYet", KeyKind::Rsa, Validity::NotYetValid());
        Credential revoked = inter.Issue("Revoked");
        Credential underDropped = dropped.Issue("UnderDropped");
        Credential stranger = other.Issue("Stranger");
        fs::path tampered = dir / "tampered.pem";
        fs::path interCrl, droppedCrl, arl;

        Pki() {
            inter.Revoke(revoked);
            root.Revoke(dropped.credential());
            interCrl = inter.Crl();
            droppedCrl = dropped.Crl();
            arl = root.Crl();
            std::vector<uint8_t> der = valid.Der();
            der.back() ^= 0x01; // the last byte of the signature
            WriteFile(dir / "tampered.der", der);
            Openssl("x509 -inform DER -in " + Q(dir / "tampered.der") + " -out " + Q(tampered));
        }
    };

    static void SetUpTestSuite() { pki_ = new Pki; }
    static void TearDownTestSuite() { delete pki_; }

    static std::vector<uint8_t> DerOfPemFiles(const std::vector<fs::path>& files,
                                              const std::string& kind) {
        std::vector<uint8_t> all;
        for (const fs::path& f : files) {
            std::vector<uint8_t> der = PemFileToDer(f, kind);
            all.insert(all.end(), der.begin(), der.end());
        }
        return all;
    }

    static fs::path Bundle(const std::vector<fs::path>& files, const std::string& name) {
        std::string text;
        for (const fs::path& f : files) {
            text += ReadTextFile(f);
        }
        fs::path bundle = pki_->dir / name;
        WriteFile(bundle, text);
        return bundle;
    }

    struct Outcome {
        int32_t result;
        std::string detail;
    };

    Outcome Engine(const fs::path& cert, const std::vector<fs::path>& cas,
                   const std::vector<fs::path>& crls, const std::vector<fs::path>& arls) {
        return Engine(cert, DerOfPemFiles(cas, "x509"), crls, arls);
    }

    Outcome Engine(const fs::path& cert, const std::vector<uint8_t>& caDer,
                   const std::vector<fs::path>& crls, const std::vector<fs::path>& arls) {
        std::vector<uint8_t> leaf = PemFileToDer(cert, "x509");
        std::vector<uint8_t> crlDer = DerOfPemFiles(crls, "crl");
        std::vector<uint8_t> arlDer = DerOfPemFiles(arls, "crl");
        ByteBuffer certificate = In(leaf);
        ByteBuffer ca = In(caDer);
        ByteBuffer crl = In(crlDer);
        ByteBuffer arl = In(arlDer);
        Text detail;
        int32_t rc =
            corvane::CV_VerifyCertificate(context_.get(), &certificate, &ca, &crl, &arl, &detail);
        EXPECT_EQ(rc == 0, detail.get() == nullptr) << Str(detail);
        return {rc, Str(detail)};
    }

    // The engine's code for what `openssl verify` says: 0, or the first error it reports.
    int32_t CommandLine(const fs::path& cert, const std::vector<fs::path>& cas,
                        const std::vector<fs::path>& crls, const std::vector<fs::path>& arls) {
        std::string args = "verify -CAfile " + Q(Bundle(cas, "cas.pem"));
        if (!crls.empty() || !arls.empty()) {
            std::vector<fs::path> all = crls;
            all.insert(all.end(), arls.begin(), arls.end());
            args += arls.empty() ? " -crl_check" : " -crl_check_all";
            args += " -CRLfile " + Q(Bundle(all, "crls.pem"));
        }
        CommandResult r = RunCommand("openssl " + args + " " + Q(cert));
        if (int first = FirstError(r.output); first != 0) {
            EXPECT_NE(r.exitCode, 0);
            return err::kVerifyFailed - first;
        }
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return 0;
    }

    static Pki* pki_;
    Context context_;
};

Verification::Pki* Verification::pki_;

TEST_F(Verification, AgreesWithOpensslVerify) {
    Pki& p = *pki_;
    const fs::path root = p.root.credential().certPem;
    const fs::path inter = p.inter.credential().certPem;
    const fs::path dropped = p.dropped.credential().certPem;
    struct Case {
        const char* what;
        fs::path cert;
        std::vector<fs::path> cas, crls, arls;
        int32_t expected;
    };
    const Case cases[] = {
        {"valid", p.valid.certPem, {root, inter}, {}, {}, 0},
        {"valid EC", p.validEc.certPem, {inter, root}, {}, {}, 0},
        {"expired", p.expired.certPem, {root, inter}, {}, {}, err::kVerifyFailed - 10},
        {"not yet valid", p.notYet.certPem, {root, inter}, {}, {}, err::kVerifyFailed - 9},
        {"another CA's", p.stranger.certPem, {root, inter}, {}, {}, err::kVerifyFailed - 20},
        {"intermediate missing", p.valid.certPem, {root}, {}, {}, err::kVerifyFailed - 20},
        {"tampered signature", p.tampered, {root, inter}, {}, {}, err::kVerifyFailed - 7},
        {"revoked, no CRL given", p.revoked.certPem, {root, inter}, {}, {}, 0},
        {"valid, CRL", p.valid.certPem, {root, inter}, {p.interCrl}, {}, 0},
        {"revoked, CRL",
         p.revoked.certPem,
         {root, inter},
         {p.interCrl},
         {},
         err::kVerifyFailed - 23},
        {"CRL of another CA",
         p.valid.certPem,
         {root, inter},
         {p.droppedCrl},
         {},
         err::kVerifyFailed - 3},
        {"valid, CRL and ARL", p.valid.certPem, {root, inter}, {p.interCrl}, {p.arl}, 0},
        {"revoked, CRL and ARL",
         p.revoked.certPem,
         {root, inter},
         {p.interCrl},
         {p.arl},
         err::kVerifyFailed - 23},
        {"CA revoked by the ARL",
         p.underDropped.certPem,
         {root, dropped},
         {p.droppedCrl},
         {p.arl},
         err::kVerifyFailed - 23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome ours = Engine(c.cert, c.cas, c.crls, c.arls);
        EXPECT_EQ(ours.result, CommandLine(c.cert, c.cas, c.crls, c.arls)) << ours.detail;
        EXPECT_EQ(ours.result, c.expected) << ours.detail;
    }
}

// Self-signed certificates with the subject of `caDer` and a key of their own (one key for all,
// as an attacker would make them quickly): DER back to back, and the same as PEM text.
struct LookAlikes {
    std::vector<uint8_t> der;
    std::string pem;
};

LookAlikes MakeLookAlikes(const std::vector<uint8_t>& caDer, int count) {
    const unsigned char* p = caDer.data();
    qm::X509Ptr ca(d2i_X509(nullptr, &p, long(caDer.size())));
    qm::PkeyPtr key(EVP_EC_gen("P-256"));
    if (!ca || !key) {
        throw std::runtime_error("cannot make look-alikes");
    }
    LookAlikes out;
    for (int i = 0; i < count; ++i) {
        qm::X509Ptr fake(X509_dup(ca.get()));
        // A key identifier of its own: the users' certificates name their CA's, so a look-alike
        // is never taken for their issuer (one without an identifier would be, and fail).
        qm::OpenSslPtr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> id(ASN1_OCTET_STRING_new());
        std::string idBytes = "look-alike " + std::to_string(i);
        if (int at = X509_get_ext_by_NID(fake.get(), NID_authority_key_identifier, -1); at >= 0) {
            X509_EXTENSION_free(X509_delete_ext(fake.get(), at));
        }
        ASN1_INTEGER_set(X509_get_serialNumber(fake.get()), 7000 + i);
        if (!id ||
            ASN1_OCTET_STRING_set(id.get(), reinterpret_cast<const unsigned char*>(idBytes.data()),
                                  int(idBytes.size())) != 1 ||
            X509_add1_ext_i2d(fake.get(), NID_subject_key_identifier, id.get(), 0,
                              X509V3_ADD_REPLACE) != 1 ||
            X509_set_issuer_name(fake.get(), X509_get_subject_name(ca.get())) != 1 ||
            X509_set_pubkey(fake.get(), key.get()) != 1 ||
            X509_sign(fake.get(), key.get(), EVP_sha256()) <= 0) {
            throw std::runtime_error("cannot sign a look-alike");
        }
        unsigned char* der = nullptr;
        int n = i2d_X509(fake.get(), &der);
        qm::OpenSslBytes owned(der);
        out.der.insert(out.der.end(), der, der + n);
        qm::BioPtr bio(BIO_new(BIO_s_mem()));
        PEM_write_bio_X509(bio.get(), fake.get());
        char* text = nullptr;
        long length = BIO_get_mem_data(bio.get(), &text);
        out.pem.append(text, size_t(length));
    }
    return out;
}

// A page chooses the CA text. It may hide a CA among hundreds of certificates that carry its name
// and list a CA twice: the CA is still found, as `openssl verify -CAfile` finds it, however the
// look-alikes are ordered.
TEST_F(Verification, LookAlikesOfACaNeitherHideItNorChangeTheOutcome) {
    Pki& p = *pki_;
    const Credential& root = p.root.credential();
    const Credential& inter = p.inter.credential();
    LookAlikes fakes = MakeLookAlikes(inter.Der(), 300);
    fs::path fakesPem = p.dir / "look-alikes.pem";
    WriteFile(fakesPem, fakes.pem);
    struct Case {
        const char* what;
        const Credential& user;
        std::vector<uint8_t> caDer;
        std::vector<fs::path> caFiles;
        std::vector<fs::path> crls;
        int32_t expected;
    };
    const Case cases[] = {
        {"look-alikes first",
         p.valid,
         Concat({fakes.der, inter.Der(), root.Der(), root.Der()}),
         {fakesPem, inter.certPem, root.certPem, root.certPem},
         {},
         0},
        {"look-alikes last",
         p.validEc,
         Concat({root.Der(), inter.Der(), fakes.der}),
         {root.certPem, inter.certPem, fakesPem},
         {},
         0},
        {"revoked behind look-alikes",
         p.revoked,
         Concat({fakes.der, inter.Der(), root.Der()}),
         {fakesPem, inter.certPem, root.certPem},
         {p.interCrl},
         err::kVerifyFailed - 23},
        {"look-alikes alone",
         p.valid,
         Concat({fakes.der, root.Der()}),
         {fakesPem, root.certPem},
         {},
         err::kVerifyFailed - 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome ours = Engine(c.user.certPem, c.caDer, c.crls, {});
        EXPECT_EQ(ours.result, c.expected) << ours.detail;
        EXPECT_EQ(ours.result, CommandLine(c.user.certPem, c.caFiles, c.crls, {})) << ours.detail;
    }
}

// The command line has no "CA certificates only" check; the engine's ARL alone is that.
TEST_F(Verification, AnArlAloneChecksOnlyTheCaCertificates) {
    Pki& p = *pki_;
    const fs::path root = p.root.credential().certPem;
    const fs::path inter = p.inter.credential().certPem;
    const fs::path dropped = p.dropped.credential().certPem;

    Outcome revokedCa = Engine(p.underDropped.certPem, {root, dropped}, {}, {p.arl});
    EXPECT_EQ(revokedCa.result, err::kVerifyFailed - 23);
    EXPECT_NE(revokedCa.detail.find("certificate revoked"), std::string::npos) << revokedCa.detail;
    EXPECT_NE(revokedCa.detail.find("depth 1"), std::string::npos) << revokedCa.detail;
    EXPECT_NE(revokedCa.detail.find("CN=Dropped"), std::string::npos) << revokedCa.detail;

    EXPECT_EQ(Engine(p.revoked.certPem, {root, inter}, {}, {p.arl}).result, 0);
    EXPECT_EQ(Engine(p.valid.certPem, {root, inter}, {}, {p.arl}).result, 0);
    // Everything else is still checked.
    EXPECT_EQ(Engine(p.expired.certPem, {root, inter}, {}, {p.arl}).result,
              err::kVerifyFailed - 10);
}

TEST_F(Verification, TheDetailSaysWhy) {
    Pki& p = *pki_;
    Outcome expired = Engine(p.expired.certPem,
                             {p.root.credential().certPem, p.inter.credential().certPem}, {}, {});
    EXPECT_EQ(expired.detail,
              "verify error 10 at depth 0: certificate has expired (O=Quillmark Test,CN=Expired)");
}

TEST_F(Verification, DamagedInputsFailWithTheirOwnCodes) {
    Pki& p = *pki_;
    std::vector<uint8_t> leaf = p.valid.Der();
    std::vector<uint8_t> cas = Concat({p.root.credential().Der(), p.inter.credential().Der()});
    std::vector<uint8_t> crl = PemFileToDer(p.interCrl, "crl");
    auto verify = [&](const std::vector<uint8_t>& l, const std::vector<uint8_t>& c,
                      const std::vector<uint8_t>& r) {
        ByteBuffer certificate = In(l);
        ByteBuffer ca = In(c);
        ByteBuffer revocations = In(r);
        Text detail;
        int32_t rc = corvane::CV_VerifyCertificate(context_.get(), &certificate, &ca, &revocations,
                                                   nullptr, &detail);
        EXPECT_NE(detail.get(), nullptr);
        return rc;
    };
    std::vector<uint8_t> cut(leaf.begin(), leaf.end() - 10);
    EXPECT_EQ(verify(cut, cas, crl), err::kBadCertificate);
    EXPECT_EQ(verify(Concat({leaf, leaf}), cas, crl), err::kBadCertificate);
    EXPECT_EQ(verify(leaf, Concat({cas, BytesOf("junk")}), crl), err::kBadCaCertificates);
    std::vector<uint8_t> cutCas(cas.begin(), cas.end() - 1);
    EXPECT_EQ(verify(leaf, cutCas, crl), err::kBadCaCertificates);
    EXPECT_EQ(verify(leaf, cas, Concat({crl, BytesOf("x")})), err::kBadCrl);
    EXPECT_EQ(verify(leaf, cas, leaf), err::kBadCrl);

    // Unusable arguments are refused before any verification, and still say why.
    ByteBuffer certificate = In(leaf);
    ByteBuffer none{0, nullptr};
    Text detail;
    EXPECT_EQ(corvane::CV_VerifyCertificate(context_.get(), &certificate, &none, nullptr, nullptr,
                                            &detail),
              err::kEmptyInput);
    EXPECT_EQ(Str(detail), "the certificate or the CA certificates are empty");
}

TEST_F(Verification, ParsingReportsVersionAndKeySize) {
    Pki& p = *pki_;
    int32_t version = -1;
    int32_t bits = -1;
    std::vector<uint8_t> rsa = p.valid.Der();
    ByteBuffer cert = In(rsa);
    ASSERT_EQ(corvane::CV_ParseCertificate(context_.get(), &cert, 0, &version, &bits), 0);
    EXPECT_EQ(version, 3);
    EXPECT_EQ(bits, 2048);
    std::vector<uint8_t> ec = p.validEc.Der();
    cert = In(ec);
    ASSERT_EQ(corvane::CV_ParseCertificate(context_.get(), &cert, 0, &version, &bits), 0);
    EXPECT_EQ(bits, 256);

    EXPECT_EQ(corvane::CV_ParseCertificate(context_.get(), &cert, 1, &version, &bits),
              err::kBadFlags);
    std::vector<uint8_t> cut(rsa.begin(), rsa.begin() + 100);
    cert = In(cut);
    EXPECT_EQ(corvane::CV_ParseCertificate(context_.get(), &cert, 0, &version, &bits),
              err::kBadCertificate);
    EXPECT_EQ(version, 0);
    EXPECT_EQ(bits, 0);
}

} // namespace
