// The crypto engine next to OpenSSL called directly, in the same process on the same data.
//
// Each engine call is measured as a caller uses it: the call, then CV_Free of what it handed
// back (so the engine's wiping of blocks is part of the figure). Each OpenSSL figure makes the
// same library calls a careful caller would: a fetched algorithm, a fresh context and output
// allocation per operation, released afterwards. The figures are printed, never asserted; the
// summary at the end gives engine time over OpenSSL time for each pair (the goal for the
// symmetric ciphers is 1.5 or less).
#include "engine/core/corvane.h"
#include "platform/ciphers.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/pki.h"

#include <benchmark/benchmark.h>

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using qm::testing::Authority;
using qm::testing::Credential;
using qm::testing::KeyKind;

// The baseline's own library context, with the providers the engine also uses.
OSSL_LIB_CTX* Baseline() {
    static OSSL_LIB_CTX* context = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        OSSL_PROVIDER_load(c, "default");
        OSSL_PROVIDER_load(c, "legacy");
        return c;
    }();
    return context;
}

std::vector<uint8_t> RandomData(size_t n) {
    std::vector<uint8_t> bytes(n);
    RAND_bytes(bytes.data(), int(n));
    return bytes;
}

struct CipherData {
    int32_t id = 0;
    EVP_CIPHER* cipher = nullptr;
    std::vector<uint8_t> key = RandomData(32);
    std::vector<uint8_t> iv = RandomData(16);
    std::vector<uint8_t> plain;
    std::vector<uint8_t> sealed;
};

CipherData MakeCipherData(const qm::CipherRow& a, size_t size) {
    CipherData d;
    if (corvane::CV_CipherId(a.name, &d.id) != 0) {
        throw std::runtime_error(std::string("unknown cipher ") + a.name);
    }
    d.cipher = EVP_CIPHER_fetch(Baseline(), a.evpName, nullptr);
    d.plain = RandomData(size);
    ByteBuffer in{int32_t(size), d.plain.data()};
    ByteBuffer out{0, nullptr};
    if (corvane::CV_Encrypt(d.id, d.key.data(), d.iv.data(), &in, &out) != 0) {
        throw std::runtime_error(std::string("cannot encrypt with ") + a.name);
    }
    d.sealed.assign(out.data, out.data + out.length);
    corvane::CV_Free(out.data);
    return d;
}

void EngineCipher(benchmark::State& state, const CipherData& d, bool encrypt) {
    const std::vector<uint8_t>& input = encrypt ? d.plain : d.sealed;
    ByteBuffer in{int32_t(input.size()), const_cast<uint8_t*>(input.data())};
    for (auto _ : state) {
        ByteBuffer out{0, nullptr};
        int32_t rc = encrypt ? corvane::CV_Encrypt(d.id, d.key.data(), d.iv.data(), &in, &out)
                             : corvane::CV_Decrypt(d.id, d.key.data(), d.iv.data(), &in, &out);
        if (rc != 0) {
            state.SkipWithError("engine call failed");
            break;
        }
        benchmark::DoNotOptimize(out.data);
        corvane::CV_Free(out.data);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.plain.size()));
}

void EvpCipher(benchmark::State& state, const CipherData& d, bool encrypt) {
    const std::vector<uint8_t>& input = encrypt ? d.plain : d.sealed;
    for (auto _ : state) {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        auto* out = static_cast<uint8_t*>(std::malloc(input.size() + 16));
        int n1 = 0;
        int n2 = 0;
        bool ok = EVP_CipherInit_ex2(ctx, d.cipher, d.key.data(), d.iv.data(), encrypt, nullptr) &&
                  EVP_CipherUpdate(ctx, out, &n1, input.data(), int(input.size())) &&
                  EVP_CipherFinal_ex(ctx, out + n1, &n2);
        benchmark::DoNotOptimize(out);
        std::free(out);
        EVP_CIPHER_CTX_free(ctx);
        if (!ok) {
            state.SkipWithError("EVP call failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.plain.size()));
}

// ---- Public-key work --------------------------------------------------------------------------

struct Pki {
    qm::testing::TempDir dir{"qm-bench"};
    Authority root = Authority::Root(dir.path(), "BenchRoot");
    Authority inter = root.Intermediate("BenchInter", KeyKind::Ec);
    Credential rsa = inter.Issue("BenchRsa", KeyKind::Rsa);
    Credential ec = inter.Issue("BenchEc", KeyKind::Ec);
    std::vector<uint8_t> cas =
        qm::testing::Concat({root.credential().Der(), inter.credential().Der()});
    std::vector<uint8_t> crl = qm::testing::PemFileToDer(inter.Crl(), "crl");
    std::vector<uint8_t> arl = qm::testing::PemFileToDer(root.Crl(), "crl");
};

Pki& ThePki() {
    static Pki pki;
    return pki;
}

const std::vector<uint8_t> kSessionKey = RandomData(32);

void EngineSeal(benchmark::State& state, const Credential& to) {
    std::vector<uint8_t> der = to.Der();
    ByteBuffer cert{int32_t(der.size()), der.data()};
    ByteBuffer in{32, const_cast<uint8_t*>(kSessionKey.data())};
    EngineContext context;
    corvane::CV_ContextInit(&context);
    for (auto _ : state) {
        ByteBuffer out{0, nullptr};
        if (corvane::CV_EncryptForCertificate(&context, &cert, &in, &out) != 0) {
            state.SkipWithError("engine call failed");
            break;
        }
        corvane::CV_Free(out.data);
    }
    corvane::CV_ContextFree(&context);
}

void OpensslSeal(benchmark::State& state, const Credential& to, bool rsa) {
    std::vector<uint8_t> der = to.Der();
    EVP_CIPHER* aes = EVP_CIPHER_fetch(Baseline(), "AES-256-CBC", nullptr);
    for (auto _ : state) {
        const unsigned char* p = der.data();
        X509* cert = X509_new_ex(Baseline(), nullptr);
        d2i_X509(&cert, &p, long(der.size()));
        CMS_ContentInfo* cms = CMS_EnvelopedData_create_ex(aes, Baseline(), nullptr);
        CMS_set_detached(cms, 0);
        CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms, cert, CMS_KEY_PARAM);
        EVP_PKEY_CTX* pctx = CMS_RecipientInfo_get0_pkey_ctx(ri);
        if (rsa) {
            EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_OAEP_PADDING);
            EVP_PKEY_CTX_set_rsa_oaep_md_name(pctx, "SHA256", nullptr);
            EVP_PKEY_CTX_set_rsa_mgf1_md_name(pctx, "SHA256", nullptr);
        } else {
            EVP_PKEY_CTX_set_ecdh_kdf_md(pctx, EVP_sha256());
        }
        BIO* in = BIO_new_mem_buf(kSessionKey.data(), int(kSessionKey.size()));
        bool ok = CMS_final(cms, in, nullptr, CMS_BINARY) == 1;
        unsigned char* out = nullptr;
        int length = i2d_CMS_ContentInfo(cms, &out);
        OPENSSL_free(out);
        BIO_free(in);
        CMS_ContentInfo_free(cms);
        X509_free(cert);
        if (!ok || length <= 0) {
            state.SkipWithError("OpenSSL calls failed");
            break;
        }
    }
    EVP_CIPHER_free(aes);
}

void EngineVerify(benchmark::State& state, bool revocation) {
    Pki& pki = ThePki();
    std::vector<uint8_t> leaf = pki.rsa.Der();
    ByteBuffer cert{int32_t(leaf.size()), leaf.data()};
    ByteBuffer cas{int32_t(pki.cas.size()), pki.cas.data()};
    ByteBuffer crl{revocation ? int32_t(pki.crl.size()) : 0, pki.crl.data()};
    ByteBuffer arl{revocation ? int32_t(pki.arl.size()) : 0, pki.arl.data()};
    EngineContext context;
    corvane::CV_ContextInit(&context);
    for (auto _ : state) {
        char* detail = nullptr;
        if (corvane::CV_VerifyCertificate(&context, &cert, &cas, &crl, &arl, &detail) != 0) {
            state.SkipWithError(detail != nullptr ? detail : "engine call failed");
            corvane::CV_Free(detail);
            break;
        }
    }
    corvane::CV_ContextFree(&context);
}

template <typename T, auto New, auto D2i> std::vector<T*> ReadAll(const std::vector<uint8_t>& der) {
    std::vector<T*> all;
    const unsigned char* p = der.data();
    const unsigned char* end = p + der.size();
    while (p < end) {
        T* object = New(Baseline(), nullptr);
        D2i(&object, &p, long(end - p));
        all.push_back(object);
    }
    return all;
}

void OpensslVerify(benchmark::State& state, bool revocation) {
    Pki& pki = ThePki();
    std::vector<uint8_t> leaf = pki.rsa.Der();
    for (auto _ : state) {
        const unsigned char* p = leaf.data();
        X509* cert = X509_new_ex(Baseline(), nullptr);
        d2i_X509(&cert, &p, long(leaf.size()));
        X509_STORE* store = X509_STORE_new();
        for (X509* ca : ReadAll<X509, X509_new_ex, d2i_X509>(pki.cas)) {
            X509_STORE_add_cert(store, ca);
            X509_free(ca);
        }
        STACK_OF(X509_CRL)* crls = sk_X509_CRL_new_null();
        if (revocation) {
            for (X509_CRL* c : ReadAll<X509_CRL, X509_CRL_new_ex, d2i_X509_CRL>(pki.crl)) {
                sk_X509_CRL_push(crls, c);
            }
            for (X509_CRL* c : ReadAll<X509_CRL, X509_CRL_new_ex, d2i_X509_CRL>(pki.arl)) {
                sk_X509_CRL_push(crls, c);
            }
        }
        X509_STORE_CTX* ctx = X509_STORE_CTX_new_ex(Baseline(), nullptr);
        X509_STORE_CTX_init(ctx, store, cert, nullptr);
        if (revocation) {
            X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
        }
        X509_STORE_CTX_set0_crls(ctx, crls);
        bool ok = X509_verify_cert(ctx) == 1;
        X509_STORE_CTX_free(ctx);
        sk_X509_CRL_pop_free(crls, X509_CRL_free);
        X509_STORE_free(store);
        X509_free(cert);
        if (!ok) {
            state.SkipWithError("OpenSSL verification failed");
            break;
        }
    }
}

// ---- The summary ------------------------------------------------------------------------------

// Console output as usual, then each engine figure over its OpenSSL figure, in wall-clock time
// and in CPU time (the steadier of the two on a busy machine).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal: `./run bench` output is often kept in a file.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                times_[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                      run.GetAdjustedCPUTime()};
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-26s %12s %12s %7s %12s %12s %7s\n", "engine over OpenSSL", "engine real",
                    "OpenSSL real", "ratio", "engine CPU", "OpenSSL CPU", "ratio");
        for (const auto& [name, time] : times_) {
            const std::string suffix = "/engine";
            if (name.size() <= suffix.size() ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            std::string pair = name.substr(0, name.size() - suffix.size());
            auto other = times_.find(pair + "/openssl");
            if (other == times_.end() || other->second.real <= 0 || other->second.cpu <= 0) {
                continue;
            }
            std::printf("%-26s %12.2f %12.2f %7.2f %12.2f %12.2f %7.2f\n", pair.c_str(), time.real,
                        other->second.real, time.real / other->second.real, time.cpu,
                        other->second.cpu, time.cpu / other->second.cpu);
        }
        std::printf("(times in microseconds per operation)\n");
    }

private:
    struct Times {
        double real;
        double cpu;
    };
    std::map<std::string, Times> times_;
};

void Register() {
    static std::vector<std::unique_ptr<CipherData>> data;
    for (const qm::CipherRow& a : qm::kCiphers) {
        for (auto [size, label] :
             {std::pair{size_t(1024), "1KiB"}, std::pair{size_t(1) << 20, "1MiB"}}) {
            const CipherData& d =
                *data.emplace_back(std::make_unique<CipherData>(MakeCipherData(a, size)));
            for (bool encrypt : {true, false}) {
                std::string base =
                    std::string(encrypt ? "Encrypt/" : "Decrypt/") + a.name + "/" + label;
                benchmark::RegisterBenchmark((base + "/engine").c_str(), EngineCipher, d, encrypt)
                    ->Unit(benchmark::kMicrosecond)
                    ->MinTime(0.2);
                benchmark::RegisterBenchmark((base + "/openssl").c_str(), EvpCipher, d, encrypt)
                    ->Unit(benchmark::kMicrosecond)
                    ->MinTime(0.2);
            }
        }
    }
    Pki& pki = ThePki();
    benchmark::RegisterBenchmark("Seal/RSA/engine", EngineSeal, pki.rsa)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Seal/RSA/openssl", OpensslSeal, pki.rsa, true)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Seal/EC/engine", EngineSeal, pki.ec)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Seal/EC/openssl", OpensslSeal, pki.ec, false)
        ->Unit(benchmark::kMicrosecond);
    for (bool revocation : {false, true}) {
        std::string base = revocation ? "Verify/CRL+ARL" : "Verify/plain";
        benchmark::RegisterBenchmark((base + "/engine").c_str(), EngineVerify, revocation)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((base + "/openssl").c_str(), OpensslVerify, revocation)
            ->Unit(benchmark::kMicrosecond);
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    try {
        Register();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot prepare the benchmarks: %s\n", e.what());
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
