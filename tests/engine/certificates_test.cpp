// Certificate parsing, and path validation compared case by case with `openssl verify`.
#include "platform/OpenSslOwners.h"
#include "tests/engine/engine_test.h"
#include "tests/support/pki.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace {

using namespace engine_test;

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

// The engine's code for error `n` of `openssl verify`.
constexpr int32_t Failed(int n) {
    return err::kVerifyFailed - n;
}

// Root ──┬─ Inter ─┬─ Valid, Expired, NotYet (RSA and EC leaves)
//        │         └─ Revoked (on Inter's CRL)
//        └─ Dropped (a CA that Root revokes: on Root's CRL, the ARL) ── UnderDropped
// Other ─── Stranger
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
    Credential tampered; // Valid with a damaged signature
    fs::path interCrl, droppedCrl, arl;
    fs::path rootPem = root.credential().certPem;
    std::vector<fs::path> chain{rootPem, inter.credential().certPem};
    std::vector<fs::path> droppedChain{rootPem, dropped.credential().certPem};

    Pki() {
        inter.Revoke(revoked);
        root.Revoke(dropped.credential());
        interCrl = inter.Crl();
        droppedCrl = dropped.Crl();
        arl = root.Crl();
        Bytes der = valid.Der();
        der.back() ^= 0x01; // the last byte of the signature
        WriteFile(dir / "tampered.der", der);
        tampered.certPem = dir / "tampered.pem";
        Openssl("x509 -inform DER -in " + Q(dir / "tampered.der") + " -out " + Q(tampered.certPem));
    }
};

class Verification : public SuiteWide<Pki> {
protected:
    // The DER of every block of the PEM files (certificates or CRLs), back to back.
    static Bytes DerOfPemFiles(const std::vector<fs::path>& files) {
        Bytes all;
        for (const fs::path& file : files) {
            qm::BioPtr bio(BIO_new_file(file.c_str(), "r"));
            size_t before = all.size();
            char* name = nullptr;
            char* header = nullptr;
            unsigned char* der = nullptr;
            long length = 0;
            while (bio && PEM_read_bio(bio.get(), &name, &header, &der, &length) == 1) {
                all.insert(all.end(), der, der + length);
                OPENSSL_free(name);
                OPENSSL_free(header);
                OPENSSL_free(der);
            }
            ERR_clear_error(); // no more blocks
            if (all.size() == before) {
                throw std::runtime_error("no PEM block in " + file.string());
            }
        }
        return all;
    }

    static fs::path Bundle(const std::vector<fs::path>& files, const std::string& name) {
        std::string text;
        for (const fs::path& f : files) {
            text += ReadTextFile(f);
        }
        fs::path bundle = shared_->dir / name;
        WriteFile(bundle, text);
        return bundle;
    }

    struct Outcome {
        int32_t result;
        std::string detail;
    };

    Outcome Engine(const fs::path& cert, const std::vector<fs::path>& cas,
                   const std::vector<fs::path>& crls, const std::vector<fs::path>& arls) {
        const Bytes der[] = {DerOfPemFiles({cert}), DerOfPemFiles(cas), DerOfPemFiles(crls),
                             DerOfPemFiles(arls)};
        ByteBuffer in[] = {In(der[0]), In(der[1]), In(der[2]), In(der[3])};
        Text detail;
        int32_t rc = CV_VerifyCertificate(context_.get(), &in[0], &in[1], &in[2], &in[3], &detail);
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

    struct Case {
        const char* what;
        const Credential& user;
        std::vector<fs::path> cas, crls, arls;
        int32_t expected;
    };

    // The engine comes to the case's outcome, and so does `openssl verify`.
    void ExpectAgreement(const Case& c) {
        SCOPED_TRACE(c.what);
        Outcome ours = Engine(c.user.certPem, c.cas, c.crls, c.arls);
        EXPECT_EQ(ours.result, CommandLine(c.user.certPem, c.cas, c.crls, c.arls)) << ours.detail;
        EXPECT_EQ(ours.result, c.expected) << ours.detail;
    }
};

TEST_F(Verification, AgreesWithOpensslVerify) {
    Pki& p = *shared_;
    const Case cases[] = {
        {"valid", p.valid, p.chain, {}, {}, 0},
        {"valid EC", p.validEc, {p.chain[1], p.rootPem}, {}, {}, 0},
        {"expired", p.expired, p.chain, {}, {}, Failed(10)},
        {"not yet valid", p.notYet, p.chain, {}, {}, Failed(9)},
        {"another CA's", p.stranger, p.chain, {}, {}, Failed(20)},
        {"intermediate missing", p.valid, {p.rootPem}, {}, {}, Failed(20)},
        {"tampered signature", p.tampered, p.chain, {}, {}, Failed(7)},
        {"revoked, no CRL given", p.revoked, p.chain, {}, {}, 0},
        {"valid, CRL", p.valid, p.chain, {p.interCrl}, {}, 0},
        {"revoked, CRL", p.revoked, p.chain, {p.interCrl}, {}, Failed(23)},
        {"CRL of another CA", p.valid, p.chain, {p.droppedCrl}, {}, Failed(3)},
        {"valid, CRL and ARL", p.valid, p.chain, {p.interCrl}, {p.arl}, 0},
        {"revoked, CRL and ARL", p.revoked, p.chain, {p.interCrl}, {p.arl}, Failed(23)},
        {"CA on the ARL", p.underDropped, p.droppedChain, {p.droppedCrl}, {p.arl}, Failed(23)},
    };
    for (const Case& c : cases) {
        ExpectAgreement(c);
    }
}

// Self-signed certificates with the subject of `caDer` and a key of their own (one key for all,
// as an attacker would make them quickly), written to `pem`.
void WriteLookAlikes(const Bytes& caDer, int count, const fs::path& pem) {
    const unsigned char* p = caDer.data();
    qm::X509Ptr ca(d2i_X509(nullptr, &p, long(caDer.size())));
    qm::PkeyPtr key(EVP_EC_gen("P-256"));
    qm::BioPtr file(BIO_new_file(pem.c_str(), "w"));
    if (!ca || !key || !file) {
        throw std::runtime_error("cannot make look-alikes");
    }
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
            X509_sign(fake.get(), key.get(), EVP_sha256()) <= 0 ||
            PEM_write_bio_X509(file.get(), fake.get()) != 1) {
            throw std::runtime_error("cannot sign a look-alike");
        }
    }
}

// A page chooses the CA text. It may hide a CA among hundreds of certificates that carry its name
// and list a CA twice: the CA is still found, as `openssl verify -CAfile` finds it, however the
// look-alikes are ordered.
TEST_F(Verification, LookAlikesOfACaNeitherHideItNorChangeTheOutcome) {
    Pki& p = *shared_;
    const fs::path root = p.rootPem, inter = p.chain[1], fakes = p.dir / "look-alikes.pem";
    WriteLookAlikes(p.inter.credential().Der(), 300, fakes);
    const Case cases[] = {
        {"look-alikes first", p.valid, {fakes, inter, root, root}, {}, {}, 0},
        {"look-alikes last", p.validEc, {root, inter, fakes}, {}, {}, 0},
        {"revoked, look-alikes", p.revoked, {fakes, inter, root}, {p.interCrl}, {}, Failed(23)},
        {"look-alikes alone", p.valid, {fakes, root}, {}, {}, Failed(20)},
    };
    for (const Case& c : cases) {
        ExpectAgreement(c);
    }
}

// The command line has no "CA certificates only" check; the engine's ARL alone is that.
TEST_F(Verification, AnArlAloneChecksOnlyTheCaCertificates) {
    Pki& p = *shared_;
    Outcome revokedCa = Engine(p.underDropped.certPem, p.droppedChain, {}, {p.arl});
    EXPECT_EQ(revokedCa.result, Failed(23));
    for (const char* part : {"certificate revoked", "depth 1", "CN=Dropped"}) {
        EXPECT_NE(revokedCa.detail.find(part), std::string::npos) << revokedCa.detail;
    }
    EXPECT_EQ(Engine(p.revoked.certPem, p.chain, {}, {p.arl}).result, 0);
    EXPECT_EQ(Engine(p.valid.certPem, p.chain, {}, {p.arl}).result, 0);
    // Everything else is still checked.
    EXPECT_EQ(Engine(p.expired.certPem, p.chain, {}, {p.arl}).result, Failed(10));
}

TEST_F(Verification, TheDetailSaysWhy) {
    EXPECT_EQ(Engine(shared_->expired.certPem, shared_->chain, {}, {}).detail,
              "verify error 10 at depth 0: certificate has expired (O=Quillmark Test,CN=Expired)");
}

TEST_F(Verification, DamagedInputsFailWithTheirOwnCodes) {
    Pki& p = *shared_;
    Bytes leaf = p.valid.Der();
    Bytes cas = Concat({p.root.credential().Der(), p.inter.credential().Der()});
    Bytes crl = DerOfPemFiles({p.interCrl});
    auto verify = [&](const Bytes& l, const Bytes& c, const Bytes& r) {
        ByteBuffer in[] = {In(l), In(c), In(r)};
        Text detail;
        int32_t rc = CV_VerifyCertificate(context_.get(), &in[0], &in[1], &in[2], nullptr, &detail);
        EXPECT_NE(detail.get(), nullptr);
        return rc;
    };
    EXPECT_EQ(verify(Bytes(leaf.begin(), leaf.end() - 10), cas, crl), err::kBadCertificate);
    EXPECT_EQ(verify(Concat({leaf, leaf}), cas, crl), err::kBadCertificate);
    EXPECT_EQ(verify(leaf, Concat({cas, BytesOf("junk")}), crl), err::kBadCaCertificates);
    EXPECT_EQ(verify(leaf, Bytes(cas.begin(), cas.end() - 1), crl), err::kBadCaCertificates);
    EXPECT_EQ(verify(leaf, cas, Concat({crl, BytesOf("x")})), err::kBadCrl);
    EXPECT_EQ(verify(leaf, cas, leaf), err::kBadCrl);

    // Unusable arguments are refused before any verification, and still say why.
    ByteBuffer certificate = In(leaf);
    ByteBuffer none{0, nullptr};
    Text detail;
    EXPECT_EQ(CV_VerifyCertificate(context_.get(), &certificate, &none, nullptr, nullptr, &detail),
              err::kEmptyInput);
    EXPECT_EQ(Str(detail), "the certificate or the CA certificates are empty");
}

TEST_F(Verification, ParsingReportsVersionAndKeySize) {
    int32_t version = -1;
    int32_t bits = -1;
    auto parse = [&](const Bytes& der, int32_t flags = 0) {
        ByteBuffer cert = In(der);
        return CV_ParseCertificate(context_.get(), &cert, flags, &version, &bits);
    };
    Bytes rsa = shared_->valid.Der();
    ASSERT_EQ(parse(rsa), 0);
    EXPECT_EQ(version, 3);
    EXPECT_EQ(bits, 2048);
    Bytes ec = shared_->validEc.Der();
    ASSERT_EQ(parse(ec), 0);
    EXPECT_EQ(bits, 256);

    EXPECT_EQ(parse(ec, 1), err::kBadFlags);
    EXPECT_EQ(parse(Bytes(rsa.begin(), rsa.begin() + 100)), err::kBadCertificate);
    EXPECT_EQ(version, 0);
    EXPECT_EQ(bits, 0);
}

} // namespace
