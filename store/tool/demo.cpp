#include "store/tool/demo.h"
#include "store/tool/pki.h"

#include "store/core/layout.h"

#include <openssl/x509v3.h>

#include <ctime>
#include <fstream>
#include <ostream>
#include <sstream>
#include <system_error>

namespace ledra::demo {
namespace {

constexpr int64_t kDay = 24 * 60 * 60;
constexpr int64_t kYear = 365 * kDay;
constexpr const char* kManifest = "manifest";
constexpr const char* kOrganisation = "Quillmark Demo";

pki::NameParts CaName(const char* cn) {
    return {{"C", "KR"}, {"O", kOrganisation}, {"CN", cn}};
}

pki::NameParts PersonName(const char* ou, const char* cn) {
    return {{"C", "KR"}, {"O", kOrganisation}, {"OU", ou}, {"CN", cn}};
}

struct Authority {
    pki::PkeyPtr key;
    X509Ptr cert;
};

Authority MakeCa(const char* cn, Authority* parent, int64_t now) {
    Authority ca;
    ca.key = pki::GenerateRsa(2048);
    pki::CertificateRequest r;
    r.subject = CaName(cn);
    r.key = ca.key.get();
    r.issuer = parent != nullptr ? parent->cert.get() : nullptr;
    r.issuerKey = parent != nullptr ? parent->key.get() : nullptr;
    r.notBefore = now - 3 * kYear;
    r.notAfter = now + 20 * kYear;
    r.profile = pki::Profile::Ca;
    ca.cert = pki::IssueCertificate(r);
    return ca;
}

struct Person {
    const char* name;   // UTF-8 common name
    const char* status; // what the demo shows with it
    Authority* issuer;
    int64_t notBefore;
    int64_t notAfter;
    pki::PkeyPtr key;
    X509Ptr cert;
};

void Issue(Person& p, pki::Profile profile, const char* ou) {
    p.key = pki::GenerateRsa(2048);
    pki::CertificateRequest r;
    r.subject = PersonName(ou, p.name);
    r.key = p.key.get();
    r.issuer = p.issuer->cert.get();
    r.issuerKey = p.issuer->key.get();
    r.notBefore = p.notBefore;
    r.notAfter = p.notAfter;
    r.profile = profile;
    p.cert = pki::IssueCertificate(r);
}

std::string DnOf(const X509* cert) {
    std::optional<std::string> dn = NameText(X509_get_subject_name(cert));
    return dn ? *dn : std::string("?");
}

std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Entries of an earlier demo, as "medium0/<id>" or "recipients/<id>" lines of its manifest.
void RemoveEarlierDemo(const fs::path& root, std::ostream& out) {
    fs::path folder = root / kFolder;
    std::optional<WipedBytes> manifest = ReadSmallFile(folder / kManifest);
    if (manifest) {
        std::istringstream lines(
            std::string(manifest->data(), manifest->data() + manifest->size()));
        std::string line;
        while (std::getline(lines, line)) {
            size_t slash = line.find('/');
            if (slash == std::string::npos) {
                continue;
            }
            std::string where = line.substr(0, slash);
            std::string id = line.substr(slash + 1);
            if (id.size() != 64 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
                continue; // never follow a manifest line out of the store
            }
            fs::path base;
            if (where == kRecipientsFolder) {
                base = RecipientsFolder(root);
            } else if (where.size() == 7 && where.rfind("medium", 0) == 0 && where[6] >= '0' &&
                       where[6] < '0' + kMediaCount) {
                base = MediumFolder(root, where[6] - '0');
            } else {
                continue;
            }
            std::error_code ec;
            if (fs::exists(base / id, ec)) {
                RemoveEntry(base / id);
            }
        }
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (ec) {
        throw std::system_error(ec, "cannot remove " + PathText(folder));
    }
    out << "removed the earlier demo\n";
}

std::string Readme(const std::vector<Person>& users, const Person& server,
                   const std::vector<const Authority*>& cas) {
    std::ostringstream s;
    s << "Quillmark demo PKI (made by ledra-tool demo)\n\n"
      << "Password of every user's private key: " << kPassword << "\n\n"
      << "Certificate authorities (ca-bundle.pem holds all three):\n";
    for (const Authority* ca : cas) {
        s << "  " << DnOf(ca->cert.get()) << "\n";
    }
    s << "\nUsers on medium 0 (key and certificate):\n";
    for (const Person& p : users) {
        s << "  " << DnOf(p.cert.get()) << "  -- " << p.status << "\n";
    }
    s << "\nRecipient (server) certificate: " << DnOf(server.cert.get())
      << "\n  server.pem and its private key server.key (PKCS#8 PEM, not encrypted) open the\n"
      << "  sealed session keys: openssl cms -decrypt -inform DER -inkey server.key\n"
      << "\nRevocation lists:\n"
      << "  crl.pem  CRLs of \"Quillmark Demo CA 1\" (revokes 이영희) and of \"Quillmark Demo\n"
      << "           Withdrawn CA\" (revokes nothing), so that every user can be checked\n"
      << "  arl.pem  the root's ARL: revokes \"Quillmark Demo Withdrawn CA\", and with it 최지우\n";
    return s.str();
}

} // namespace

void Make(const fs::path& root, bool force, std::ostream& out) {
    fs::path folder = root / kFolder;
    std::error_code ec;
    if (fs::exists(folder, ec)) {
        if (!force) {
            throw pki::Error("a demo PKI is already in " + PathText(folder) +
                             "; run 'ledra-tool demo --force' to rebuild it");
        }
        RemoveEarlierDemo(root, out);
    }

    int64_t now = static_cast<int64_t>(std::time(nullptr));
    out << "making keys and certificates...\n";
    Authority rootCa = MakeCa("Quillmark Demo Root CA", nullptr, now);
    Authority ca1 = MakeCa("Quillmark Demo CA 1", &rootCa, now);
    Authority withdrawnCa = MakeCa("Quillmark Demo Withdrawn CA", &rootCa, now);

    int64_t from = now - kDay;
    std::vector<Person> users;
    users.push_back({"홍길동", "valid", &ca1, from, now + 5 * kYear, nullptr, nullptr});
    users.push_back({"김철수", "valid", &ca1, from, now + 5 * kYear, nullptr, nullptr});
    users.push_back(
        {"Demo User", "valid (ASCII name)", &ca1, from, now + 5 * kYear, nullptr, nullptr});
    users.push_back(
        {"이영희", "revoked by crl.pem", &ca1, from, now + 5 * kYear, nullptr, nullptr});
    users.push_back(
        {"박민수", "expired a year ago", &ca1, now - 2 * kYear, now - kYear, nullptr, nullptr});
    users.push_back({"최지우", "its CA is revoked by arl.pem", &withdrawnCa, from, now + 5 * kYear,
                     nullptr, nullptr});
    for (Person& p : users) {
        Issue(p, pki::Profile::User, "Users");
    }
    Person server{"Quillmark Demo Server", "recipient", &ca1,   from,
                  now + 5 * kYear,         nullptr,     nullptr};
    Issue(server, pki::Profile::Server, "Servers");

    pki::X509CrlPtr crl =
        pki::IssueCrl(ca1.cert.get(), ca1.key.get(),
                      {{users[3].cert.get(), CRL_REASON_KEY_COMPROMISE, now - kDay}}, now - 3600,
                      now + 10 * kYear, 1);
    pki::X509CrlPtr withdrawnCrl = pki::IssueCrl(withdrawnCa.cert.get(), withdrawnCa.key.get(), {},
                                                 now - 3600, now + 10 * kYear, 1);
    pki::X509CrlPtr arl =
        pki::IssueCrl(rootCa.cert.get(), rootCa.key.get(),
                      {{withdrawnCa.cert.get(), CRL_REASON_CA_COMPROMISE, now - kDay}}, now - 3600,
                      now + 10 * kYear, 1);

    // The manifest goes first: a demo that fails half-way is then still there for --force to
    // take away, rather than leaving entries that nothing names.
    std::string manifest;
    for (const Person& p : users) {
        manifest += "medium0/" + Fingerprint(pki::Der(p.cert.get())) + "\n";
    }
    manifest +=
        std::string(kRecipientsFolder) + "/" + Fingerprint(pki::Der(server.cert.get())) + "\n";
    CreatePrivateFolders(folder);
    WriteFileAtomically(folder / kManifest, Bytes(manifest));

    pki::Secret password(kPassword);
    for (const Person& p : users) {
        WipedBytes key = pki::EncryptPrivateKey(p.key.get(), password);
        WriteEntry(MediumFolder(root, 0), pki::Der(p.cert.get()), key.span());
    }
    WriteEntry(RecipientsFolder(root), pki::Der(server.cert.get()), {});

    std::vector<const Authority*> cas = {&rootCa, &ca1, &withdrawnCa};
    WriteFileAtomically(folder / "root-ca.pem", Bytes(pki::Pem(rootCa.cert.get())));
    WriteFileAtomically(folder / "ca-bundle.pem",
                        Bytes(pki::Pem(rootCa.cert.get()) + pki::Pem(ca1.cert.get()) +
                              pki::Pem(withdrawnCa.cert.get())));
    WriteFileAtomically(folder / "crl.pem",
                        Bytes(pki::Pem(crl.get()) + pki::Pem(withdrawnCrl.get())));
    WriteFileAtomically(folder / "arl.pem", Bytes(pki::Pem(arl.get())));
    WriteFileAtomically(folder / "server.pem", Bytes(pki::Pem(server.cert.get())));
    {
        std::string serverKey = pki::PemPrivateKey(server.key.get());
        WriteFileAtomically(folder / "server.key", Bytes(serverKey));
        qm::SecureWipe(serverKey.data(), serverKey.size());
    }
    WriteFileAtomically(folder / "README.txt", Bytes(Readme(users, server, cas)));

    out << "demo PKI made in " << PathText(root) << "\n"
        << "  password of every user's key: " << kPassword << "\n"
        << "  users on medium 0:\n";
    for (const Person& p : users) {
        out << "    " << DnOf(p.cert.get()) << "  (" << p.status << ")\n";
    }
    out << "  recipient: " << DnOf(server.cert.get()) << "\n"
        << "  files in " << PathText(folder) << ":\n"
        << "    ca-bundle.pem root-ca.pem crl.pem arl.pem server.pem server.key README.txt\n";
}

} // namespace ledra::demo
