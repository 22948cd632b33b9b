// Test PKIs made with the openssl command line: root and intermediate CAs, end-entity
// certificates with RSA or EC keys, chosen validity periods (expired, not yet valid), revocation
// and CRLs. Each authority keeps an `openssl ca` folder of its own under the folder it is given,
// so several independent PKIs can live side by side in one TempDir.
//
//   TempDir dir;
//   Authority root = Authority::Root(dir.path(), "Root");
//   Authority inter = root.Intermediate("Inter");
//   Credential user = inter.Issue("User", KeyKind::Ec);
//   inter.Revoke(user);
//   std::filesystem::path crl = inter.Crl();
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::testing {

enum class KeyKind { Rsa, Ec }; // RSA 2048 bits, EC on P-256

// Start and end of a validity period in the form that `openssl ca` takes (YYYYMMDDHHMMSSZ).
struct Validity {
    std::string notBefore;
    std::string notAfter;

    static Validity Current();     // from a day ago to a year ahead
    static Validity Expired();     // ended a year ago
    static Validity NotYetValid(); // starts in a year
    // From `fromDays` to `toDays` days from now (negative: in the past).
    static Validity Days(int fromDays, int toDays);
};

// A certificate and its private key, as files.
struct Credential {
    std::string name;
    std::filesystem::path certPem;
    std::filesystem::path certDer;
    std::filesystem::path keyPem; // unencrypted PKCS#8

    std::vector<uint8_t> Der() const;
    std::string Pem() const;
};

// Writes a new private key (unencrypted PKCS#8 PEM) to `file`.
void GenerateKey(const std::filesystem::path& file, KeyKind kind);

// DER of a PEM certificate or CRL file (kind "x509" or "crl").
std::vector<uint8_t> PemFileToDer(const std::filesystem::path& pem, const std::string& kind);

class Authority {
public:
    // A self-signed root CA in the folder `parent`/`name`.
    static Authority Root(const std::filesystem::path& parent, const std::string& name,
                          KeyKind kind = KeyKind::Rsa, Validity validity = Validity::Current());

    // A CA certificate issued by this authority, with its own folder beside this one.
    Authority Intermediate(const std::string& name, KeyKind kind = KeyKind::Rsa,
                           Validity validity = Validity::Current()) const;

    // An end-entity certificate (signing and key encipherment or agreement).
    Credential Issue(const std::string& name, KeyKind kind = KeyKind::Rsa,
                     Validity validity = Validity::Current()) const;

    // Records the certificate as revoked; the next Crl() lists it.
    void Revoke(const Credential& issued) const;

    // Writes a CRL (PEM) valid from now for 30 days and returns its path. Each call writes a new
    // file with a new CRL number.
    std::filesystem::path Crl() const;

    const Credential& credential() const { return self_; }
    const std::filesystem::path& folder() const { return folder_; }

private:
    Authority(std::filesystem::path folder, Credential self);
    static std::filesystem::path Prepare(const std::filesystem::path& folder);
    Credential Sign(const std::string& name, KeyKind kind, const Validity& validity,
                    const std::string& extensions, const std::filesystem::path& folder) const;
    std::string Ca(const std::string& arguments) const;

    std::filesystem::path folder_;
    Credential self_;
};

} // namespace qm::testing
