#include "tests/support/pki.h"

#include "tests/support/openssl_cli.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <stdexcept>

namespace qm::testing {
namespace fs = std::filesystem;

namespace {

// One `openssl ca` configuration serves every authority: its folder is the only difference. The
// database allows repeated subjects so that tests may issue the same name twice.
constexpr const char* kConfig = R"([ ca ]
default_ca = authority

[ authority ]
dir = .
database = $dir/index.txt
new_certs_dir = $dir/newcerts
serial = $dir/serial
crlnumber = $dir/crlnumber
certificate = $dir/cert.pem
private_key = $dir/key.pem
default_md = sha256
default_days = 365
default_crl_days = 30
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no

[ any_name ]
commonName = supplied
organizationName = optional

[ req ]
distinguished_name = req_name
prompt = no

[ req_name ]
CN = unused

[ ca_cert ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[ rsa_user ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[ ec_user ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyAgreement
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
)";

std::string Q(const fs::path& p) {
    return ShellQuote(p.string());
}

std::string DateFromNow(int days) {
    std::time_t t = std::time(nullptr) + std::time_t(days) * 86400;
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
    return text;
}

// `openssl ca` finds its database through the configuration's relative folder names, so it runs
// inside the authority's folder.
std::string CaIn(const fs::path& folder, const std::string& arguments) {
    std::string command = "cd " + Q(folder) + " && openssl ca -batch -config ca.cnf " + arguments;
    CommandResult r = RunCommand(command);
    if (r.exitCode != 0) {
        throw std::runtime_error(command + " failed:\n" + r.output);
    }
    return r.output;
}

// A new key for `c`, a request for its name, and the certificate that `openssl ca` in `ca` makes of
// the request with `options`.
Credential Certify(const fs::path& ca, Credential c, KeyKind kind, const Validity& validity,
                   const std::string& options) {
    fs::path request = fs::path(c.certPem).replace_extension(".csr");
    GenerateKey(c.keyPem, kind);
    Openssl("req -new -config " + Q(ca / "ca.cnf") + " -key " + Q(c.keyPem) + " -subj " +
            ShellQuote("/CN=" + c.name + "/O=Quillmark Test") + " -out " + Q(request));
    CaIn(ca, "-notext " + options + " -startdate " + validity.notBefore + " -enddate " +
                 validity.notAfter + " -in " + Q(request) + " -out " + Q(c.certPem));
    Openssl("x509 -in " + Q(c.certPem) + " -outform DER -out " + Q(c.certDer));
    return c;
}

Credential CaFiles(const fs::path& folder, const std::string& name) {
    return {name, folder / "cert.pem", folder / "cert.der", folder / "key.pem"};
}

} // namespace

Validity Validity::Days(int fromDays, int toDays) {
    return {DateFromNow(fromDays), DateFromNow(toDays)};
}
Validity Validity::Current() {
    return Days(-1, 365);
}
Validity Validity::Expired() {
    return Days(-730, -365);
}
Validity Validity::NotYetValid() {
    return Days(365, 730);
}

std::vector<uint8_t> Credential::Der() const {
    return ReadBinaryFile(certDer);
}
std::string Credential::Pem() const {
    return ReadTextFile(certPem);
}

void GenerateKey(const fs::path& file, KeyKind kind) {
    const char* options = kind == KeyKind::Rsa ? "-algorithm RSA -pkeyopt rsa_keygen_bits:2048"
                                               : "-algorithm EC -pkeyopt ec_paramgen_curve:P-256";
    Openssl(std::string("genpkey ") + options + " -out " + Q(file));
}

std::vector<uint8_t> PemFileToDer(const fs::path& pem, const std::string& kind) {
    fs::path der = fs::path(pem) += ".der";
    Openssl(kind + " -in " + Q(pem) + " -outform DER -out " + Q(der));
    return ReadBinaryFile(der);
}

Authority::Authority(fs::path folder, Credential self)
    : folder_(std::move(folder)), self_(std::move(self)) {}

fs::path Authority::Prepare(const fs::path& folder) {
    if (fs::exists(folder)) {
        throw std::runtime_error("an authority already lives in " + folder.string());
    }
    fs::create_directories(folder / "newcerts");
    fs::create_directories(folder / "issued");
    WriteFile(folder / "ca.cnf", std::string_view(kConfig));
    WriteFile(folder / "index.txt", std::string_view(""));
    // Serials differ between authorities, so that a certificate revoked by one CA is never
    // mistaken for another CA's certificate with the same serial.
    static std::atomic<unsigned> next{0x1000};
    char serial[32];
    std::snprintf(serial, sizeof serial, "%08X\n", next.fetch_add(0x1000));
    WriteFile(folder / "serial", std::string_view(serial));
    WriteFile(folder / "crlnumber", std::string_view("01\n"));
    return folder;
}

std::string Authority::Ca(const std::string& arguments) const {
    return CaIn(folder_, arguments);
}

Credential Authority::Sign(const std::string& name, KeyKind kind, const Validity& validity,
                           const std::string& extensions, const fs::path& folder) const {
    return Certify(
        folder_,
        {name, folder / (name + ".pem"), folder / (name + ".der"), folder / (name + ".key.pem")},
        kind, validity, "-extensions " + extensions);
}

Authority Authority::Root(const fs::path& parent, const std::string& name, KeyKind kind,
                          Validity validity) {
    fs::path folder = Prepare(parent / name);
    return Authority(folder, Certify(folder, CaFiles(folder, name), kind, validity,
                                     "-selfsign -keyfile key.pem -extensions ca_cert"));
}

Authority Authority::Intermediate(const std::string& name, KeyKind kind, Validity validity) const {
    fs::path folder = Prepare(folder_.parent_path() / name);
    return Authority(
        folder, Certify(folder_, CaFiles(folder, name), kind, validity, "-extensions ca_cert"));
}

Credential Authority::Issue(const std::string& name, KeyKind kind, Validity validity) const {
    return Sign(name, kind, validity, kind == KeyKind::Rsa ? "rsa_user" : "ec_user",
                folder_ / "issued");
}

void Authority::Revoke(const Credential& issued) const {
    Ca("-revoke " + Q(issued.certPem));
}

fs::path Authority::Crl() const {
    static std::atomic<unsigned> counter{0};
    fs::path crl = folder_ / ("crl-" + std::to_string(counter.fetch_add(1)) + ".pem");
    Ca("-gencrl -out " + Q(crl));
    return crl;
}

} // namespace qm::testing
