// Hostile input against every path that a page's text reaches: each path's time at 1, 2, 4 and
// 8 MB of the input shaped worst for it, and the growth from 1 to 8 MB. Time in proportion to the
// input grows about 8 times; anything quadratic grows 64 times. A page must never be able to
// freeze the browser by handing over a long text, so the growth is to stay at 10 or below.
//
// Each figure is the fastest of a few runs (the steadiest figure on a shared machine). The
// figures are printed, never asserted.
#include "automation/DnList.h"
#include "engine/core/corvane.h"
#include "module/registry/RegistryScript.h"
#include "platform/OpenSslOwners.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qm::testing::Authority;
using qm::testing::Credential;
using qm::testing::KeyKind;

constexpr size_t kKilobyte = 1024;
constexpr size_t kSteps[] = {1, 2, 4, 8}; // times the smallest size, 1 MB unless told otherwise
constexpr double kGrowthLimit = 10.0;

// Repeats `unit` until the text holds `size` bytes (the last copy may be cut).
std::string Repeat(const std::string& unit, size_t size) {
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size) {
        text += unit;
    }
    text.resize(size);
    return text;
}

// Whole copies of `unit` up to `size` bytes (at least one): for inputs that must stay well formed.
std::string RepeatWhole(const std::string& unit, size_t size) {
    std::string text = unit;
    while (text.size() + unit.size() <= size) {
        text += unit;
    }
    return text;
}

using qm::BioPtr;
using qm::PkeyPtr;
using qm::X509CrlPtr;
using qm::X509Ptr;

template <typename T> T* Check(T* p, const char* what) {
    if (p == nullptr) {
        throw std::runtime_error(what);
    }
    return p;
}

X509Ptr ReadCertificatePem(const std::filesystem::path& file) {
    std::string text = qm::testing::ReadTextFile(file);
    BioPtr bio(BIO_new_mem_buf(text.data(), int(text.size())));
    return X509Ptr(Check(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), "certificate"));
}

PkeyPtr ReadKeyPem(const std::filesystem::path& file) {
    std::string text = qm::testing::ReadTextFile(file);
    BioPtr bio(BIO_new_mem_buf(text.data(), int(text.size())));
    return PkeyPtr(Check(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), "key"));
}

template <typename T, int (*Write)(BIO*, const T*)> std::string PemOf(const T* object) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Write(bio.get(), object);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, size_t(n));
}

std::string PemOf(const X509* cert) {
    return PemOf<X509, PEM_write_bio_X509>(cert);
}

std::string PemOf(const X509_CRL* crl) {
    return PemOf<X509_CRL, PEM_write_bio_X509_CRL>(crl);
}

// A root CA (EC, so that re-signing is quick), a user it issued, and the root's key.
struct Pki {
    qm::testing::TempDir dir{"qm-hostile-bench"};
    Authority root = Authority::Root(dir.path(), "HostileRoot", KeyKind::Ec);
    Credential user = root.Issue("HostileUser", KeyKind::Ec);
    X509Ptr rootCert = ReadCertificatePem(root.credential().certPem);
    PkeyPtr rootKey = ReadKeyPem(root.credential().keyPem);
    std::vector<uint8_t> userDer = user.Der();
};

// Distinct certificates that all carry the root's subject and key: each is a genuine issuer of
// the user, and a trust store that checks every new certificate against those it holds by
// subject does the most work with them.
std::string SameSubjectCertificates(Pki& pki, size_t size) {
    std::string text;
    for (long serial = 1; text.size() < size; ++serial) {
        X509Ptr copy(Check(X509_dup(pki.rootCert.get()), "copy"));
        ASN1_INTEGER_set(X509_get_serialNumber(copy.get()), serial);
        if (X509_sign(copy.get(), pki.rootKey.get(), EVP_sha256()) <= 0) {
            throw std::runtime_error("cannot sign");
        }
        text += PemOf(copy.get());
    }
    return text;
}

// One CRL of the root that lists about `size` bytes of revoked serial numbers.
std::string LongCrl(Pki& pki, size_t size) {
    X509CrlPtr crl(Check(X509_CRL_new(), "crl"));
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(pki.rootCert.get()));
    qm::OpenSslPtr<ASN1_TIME, ASN1_TIME_free> now(ASN1_TIME_adj(nullptr, time(nullptr), -1, 0));
    qm::OpenSslPtr<ASN1_TIME, ASN1_TIME_free> next(ASN1_TIME_adj(nullptr, time(nullptr), 30, 0));
    X509_CRL_set1_lastUpdate(crl.get(), now.get());
    X509_CRL_set1_nextUpdate(crl.get(), next.get());
    // About 35 bytes of DER each, and 4/3 of that in PEM.
    for (size_t bytes = 0; bytes < size; bytes += 47) {
        X509_REVOKED* revoked = Check(X509_REVOKED_new(), "entry");
        qm::OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free> serial(ASN1_INTEGER_new());
        ASN1_INTEGER_set_int64(serial.get(), int64_t(1000000 + bytes));
        X509_REVOKED_set_serialNumber(revoked, serial.get());
        X509_REVOKED_set_revocationDate(revoked, now.get());
        X509_CRL_add0_revoked(crl.get(), revoked);
    }
    X509_CRL_sort(crl.get());
    if (X509_CRL_sign(crl.get(), pki.rootKey.get(), EVP_sha256()) <= 0) {
        throw std::runtime_error("cannot sign the CRL");
    }
    return PemOf(crl.get());
}

// ---- The paths -----------------------------------------------------------------------------

struct Path {
    std::string name;
    std::function<std::string(size_t)> make; // the hostile input of about that many bytes
    std::function<void(const std::string&)> run;
};

void PemDecode(const std::string& text) {
    ByteBuffer out{0, nullptr};
    corvane::CV_PemDecode(text.c_str(), &out);
    corvane::CV_Free(out.data);
}

void Base64Decode(const std::string& text) {
    ByteBuffer out{0, nullptr};
    corvane::CV_Base64Decode(text.c_str(), &out);
    corvane::CV_Free(out.data);
}

// What GeneralValidation asks of the engine: the PEM texts decoded, then one verification.
void Validate(const std::vector<uint8_t>& userDer, const std::string& caText,
              const std::string& crlText, const std::string& arlText) {
    EngineContext context{};
    corvane::CV_ContextInit(&context);
    ByteBuffer cert{int32_t(userDer.size()), const_cast<uint8_t*>(userDer.data())};
    ByteBuffer cas{0, nullptr};
    ByteBuffer crl{0, nullptr};
    ByteBuffer arl{0, nullptr};
    if (corvane::CV_PemDecode(caText.c_str(), &cas) != 0 ||
        (!crlText.empty() && corvane::CV_PemDecode(crlText.c_str(), &crl) != 0) ||
        (!arlText.empty() && corvane::CV_PemDecode(arlText.c_str(), &arl) != 0)) {
        throw std::runtime_error("the hostile PEM text does not decode");
    }
    char* detail = nullptr;
    int32_t rc = corvane::CV_VerifyCertificate(&context, &cert, &cas, &crl, &arl, &detail);
    if (rc != 0) {
        std::string why = detail != nullptr ? detail : "no reason";
        corvane::CV_Free(detail);
        throw std::runtime_error("the validation failed: " + why);
    }
    corvane::CV_Free(cas.data);
    corvane::CV_Free(crl.data);
    corvane::CV_Free(arl.data);
    corvane::CV_ContextFree(&context);
}

// A registry that takes every write and keeps nothing: only the processor's own work is timed.
class NullRegistry final : public qm::reg::Registry {
public:
    Key RootKey(qm::reg::Root) override { return 1; }
    bool Open(Key, const std::string&, Access, Key*) override { return false; }
    bool Create(Key, const std::string&, Key* key) override {
        *key = 2;
        return true;
    }
    void Close(Key) override {}
    bool SetString(Key, const std::string&, const std::string&) override { return true; }
    bool SetNumber(Key, const std::string&, uint32_t) override { return true; }
    bool SetBytes(Key, const std::string&, const std::vector<uint8_t>&) override { return true; }
    void DeleteValue(Key, const std::string&) override {}
    void DeleteTree(Key, const std::string&) override {}
    void DeleteKey(Key, const std::string&) override {}
    uint32_t CountSubkeys(Key) override { return 0; }
    bool HasNamedValues(Key) override { return false; }
};

void RunRegistryScript(const std::string& text) {
    NullRegistry registry;
    qm::reg::RunScript(text, {{"MODULE", "C:\\Quillmark.dll"}}, qm::reg::Mode::Register, registry);
}

std::vector<Path> Paths(Pki& pki) {
    std::vector<Path> paths;
    paths.push_back(
        {"PEM, blocks with no line ends",
         [](size_t n) { return RepeatWhole("-----BEGIN A-----AAAA-----END A-----", n); },
         PemDecode});
    paths.push_back({"PEM, BEGIN lines with no end",
                     [](size_t n) { return "-----BEGIN A-----" + Repeat("-----BEGIN A", n); },
                     PemDecode});
    paths.push_back({"Base64, a space after each symbol",
                     [](size_t n) { return Repeat("Q U J D ", n); }, Base64Decode});
    paths.push_back({"CA text, one subject",
                     [&pki](size_t n) { return SameSubjectCertificates(pki, n); },
                     [&pki](const std::string& text) { Validate(pki.userDer, text, "", ""); }});
    std::string caText = PemOf(pki.rootCert.get());
    std::string crlText = qm::testing::ReadTextFile(pki.root.Crl());
    paths.push_back(
        {"CRL, many lists", [crlText](size_t n) { return RepeatWhole(crlText, n); },
         [&pki, caText](const std::string& text) { Validate(pki.userDer, caText, text, ""); }});
    paths.push_back(
        {"CRL, one long list", [&pki](size_t n) { return LongCrl(pki, n); },
         [&pki, caText](const std::string& text) { Validate(pki.userDer, caText, text, ""); }});
    paths.push_back(
        {"ARL, many lists", [crlText](size_t n) { return RepeatWhole(crlText, n); },
         [&pki, caText](const std::string& text) { Validate(pki.userDer, caText, "", text); }});
    paths.push_back({"getDNList identifier",
                     [](size_t n) {
                         return Repeat("\xC8\xAB"
                                       "cn=",
                                       n);
                     },
                     [](const std::string& id) {
                         std::vector<char> area(30 * 256, 0);
                         for (int slot = 0; slot < 30; ++slot) {
                             std::snprintf(&area[size_t(slot) * 256], 256,
                                           "cn=\xC8\xAB%d,ou=Users,o=Quillmark,c=KR", slot);
                         }
                         qm::JoinDnList(area.data(), 30, id.c_str(), qm::IsCp949LeadByte);
                     }});
    paths.push_back({"registry script, many keys",
                     [](size_t n) {
                         return "HKCR {" +
                                RepeatWhole(" ForceRemove k = s '%MODULE%' { val v = d 1 }", n) +
                                " }";
                     },
                     RunRegistryScript});
    paths.push_back({"registry script, blank space",
                     [](size_t n) { return "HKCR { k" + Repeat(" ", n) + "}"; },
                     RunRegistryScript});
    return paths;
}

// CPU time of this thread, kernel time included: the steadiest measure on a shared machine, and
// the one that a frozen browser tab spends.
double CpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// The fastest of several runs at each size. The sizes take turns, round after round, so that a
// burst of work elsewhere on the machine weighs on all of them alike rather than on one.
std::vector<double> Milliseconds(const Path& path, const std::vector<std::string>& inputs) {
    std::vector<double> best(inputs.size(), 0);
    double total = 0;
    for (int round = 0; round < 25 && (round < 5 || total < 10000); ++round) {
        for (size_t i = 0; i < inputs.size(); ++i) {
            double start = CpuMilliseconds();
            path.run(inputs[i]);
            double took = CpuMilliseconds() - start;
            best[i] = round == 0 ? took : std::min(best[i], took);
            total += took;
        }
    }
    return best;
}

} // namespace

// hostile_input_bench [SMALLEST-SIZE-IN-KB [PATH-NAME-PART]]: a smaller start shows a quadratic
// path without waiting hours for it; a part of a path's name runs only the paths that have it.
int main(int argc, char** argv) {
    size_t smallest = 1024 * kKilobyte;
    if (argc > 1) {
        smallest = size_t(std::max(1L, std::strtol(argv[1], nullptr, 10))) * kKilobyte;
    }
    std::string only = argc > 2 ? argv[2] : "";
    // Freed memory stays with the process: otherwise a small input reuses memory that a large one
    // has to fault in afresh, and the figures would measure the allocator's thresholds. No block
    // is mapped on its own (the allocator's largest threshold is 32 MB, which the parsed forms of
    // the largest inputs pass), and the heap is never trimmed.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    try {
        Pki pki;
        std::printf(
            "Hostile input: CPU milliseconds per call, and the growth from the smallest size "
            "to 8 times it (linear: about 8; at most %.0f)\n\n",
            kGrowthLimit);
        std::printf("%-34s", "path");
        for (size_t step : kSteps) {
            size_t kb = step * smallest / kKilobyte;
            std::printf(kb % 1024 == 0 ? " %6zu MB" : " %6zu KB", kb % 1024 == 0 ? kb / 1024 : kb);
        }
        std::printf(" %7s\n", "8 / 1");
        bool withinLimit = true;
        for (const Path& path : Paths(pki)) {
            if (path.name.find(only) == std::string::npos) {
                continue;
            }
            std::vector<std::string> inputs;
            for (size_t step : kSteps) {
                inputs.push_back(path.make(step * smallest));
            }
            std::vector<double> times = Milliseconds(path, inputs);
            double growth = times.back() / std::max(times.front(), 1e-3);
            withinLimit = withinLimit && growth <= kGrowthLimit;
            std::printf("%-34s %9.2f %9.2f %9.2f %9.2f %7.2f%s\n", path.name.c_str(), times[0],
                        times[1], times[2], times[3], growth,
                        growth <= kGrowthLimit ? "" : "  over the limit");
        }
        std::printf("\n%s\n", withinLimit ? "every path grows in proportion to its input"
                                          : "some path grows faster than its input");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hostile input benchmark: %s\n", e.what());
        return 1;
    }
    return 0;
}
