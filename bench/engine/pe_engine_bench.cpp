// The Windows build of the crypto engine next to the machine's own OpenSSL, on the same work:
// enciphering 1 MiB with SEED, ARIA and AES (CBC) and sealing a session key to an RSA-2048
// certificate (CMS, RSAES-OAEP with SHA-256).
//
// One source, two programs: built for Windows it loads Corvane.dll by full path and calls it by
// ordinal, as Quillmark.dll does (run under Wine); built natively it makes the same OpenSSL calls
// a careful caller would. bench/engine/compare-pe.sh runs both in turns and prints the ratios.
//
//   pe_engine_bench CERTIFICATE.der [ROUNDS] [CORVANE.dll]
//
// prints one line per operation: its name and the fastest of ROUNDS rounds, in microseconds per
// operation (each round repeats the operation for at least 50 ms).
#include "platform/abi.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#if defined(_WIN32)
#include "external/engine.h"

#include <windows.h>
#else
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#endif

namespace {

constexpr size_t kBlock = 1 << 20;
constexpr const char* kCiphers[][2] = {
    {"SEED", "SEED-CBC"}, {"ARIA", "ARIA-128-CBC"}, {"AES", "AES-128-CBC"}};

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(generator());
    }
    return bytes;
}

// The fastest of `rounds` rounds, each repeating `operation` for at least 50 ms.
double MicrosecondsPerCall(int rounds, const std::function<bool()>& operation) {
    using Clock = std::chrono::steady_clock;
    double best = -1;
    for (int round = 0; round < rounds; ++round) {
        long calls = 0;
        Clock::time_point start = Clock::now();
        Clock::duration spent{};
        do {
            if (!operation()) {
                return -1;
            }
            ++calls;
            spent = Clock::now() - start;
        } while (spent < std::chrono::milliseconds(50));
        double each = std::chrono::duration<double, std::micro>(spent).count() / double(calls);
        best = best < 0 || each < best ? each : best;
    }
    return best;
}

#if defined(_WIN32)

// Corvane.dll, bound by ordinal from the path given (beside this program by default).
class Engine {
public:
    explicit Engine(const char* path) : module_(LoadLibraryA(path)) {}
    ~Engine() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    template <typename F> F Function(int ordinal) const {
        FARPROC proc =
            module_ != nullptr ? GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)) : nullptr;
        return reinterpret_cast<F>(reinterpret_cast<void*>(proc));
    }
    explicit operator bool() const { return module_ != nullptr; }

private:
    HMODULE module_;
};

using CipherId = decltype(EngineApi::CV_CipherId);
using Cipher = decltype(EngineApi::CV_Encrypt);
using Free = decltype(EngineApi::CV_Free);
using Context = decltype(EngineApi::CV_ContextInit);
using Seal = decltype(EngineApi::CV_EncryptForCertificate);

int Run(const std::vector<uint8_t>& certificate, int rounds, const char* dll) {
    Engine engine(dll);
    namespace o = qm::ordinal;
    auto cipherId = engine.Function<CipherId>(o::CV_CipherId);
    auto encrypt = engine.Function<Cipher>(o::CV_Encrypt);
    auto release = engine.Function<Free>(o::CV_Free);
    auto init = engine.Function<Context>(o::CV_ContextInit);
    auto done = engine.Function<Context>(o::CV_ContextFree);
    auto seal = engine.Function<Seal>(o::CV_EncryptForCertificate);
    if (!engine || !cipherId || !encrypt || !release || !init || !done || !seal) {
        std::fprintf(stderr, "cannot bind %s (error %lu)\n", dll, GetLastError());
        return 1;
    }
    std::vector<uint8_t> plain = Bytes(kBlock, 1);
    std::vector<uint8_t> key = Bytes(32, 2);
    for (auto [name, evp] : kCiphers) {
        int32_t id = 0;
        cipherId(name, &id);
        ByteBuffer in{int32_t(plain.size()), plain.data()};
        double us = MicrosecondsPerCall(rounds, [&] {
            ByteBuffer out{0, nullptr};
            bool ok = encrypt(id, key.data(), key.data() + 16, &in, &out) == 0;
            release(out.data);
            return ok;
        });
        std::printf("Encrypt/%s/1MiB %.1f\n", name, us);
    }
    EngineContext context;
    init(&context);
    ByteBuffer cert{int32_t(certificate.size()), const_cast<uint8_t*>(certificate.data())};
    ByteBuffer secret{32, key.data()};
    double us = MicrosecondsPerCall(rounds, [&] {
        ByteBuffer out{0, nullptr};
        bool ok = seal(&context, &cert, &secret, &out) == 0;
        release(out.data);
        return ok;
    });
    done(&context);
    std::printf("Seal/RSA-2048 %.1f\n", us);
    return 0;
}

#else

// The machine's OpenSSL in a library context of its own, with the providers the engine uses.
int Run(const std::vector<uint8_t>& certificate, int rounds, const char* /*dll*/) {
    OSSL_LIB_CTX* library = OSSL_LIB_CTX_new();
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(library, "default");
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(library, "legacy");
    std::vector<uint8_t> plain = Bytes(kBlock, 1);
    std::vector<uint8_t> key = Bytes(32, 2);
    for (auto [name, evp] : kCiphers) {
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(library, evp, nullptr);
        double us = MicrosecondsPerCall(rounds, [&] {
            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            auto* out = static_cast<uint8_t*>(std::malloc(plain.size() + 16));
            int n1 = 0;
            int n2 = 0;
            bool ok = cipher != nullptr &&
                      EVP_EncryptInit_ex2(ctx, cipher, key.data(), key.data() + 16, nullptr) &&
                      EVP_EncryptUpdate(ctx, out, &n1, plain.data(), int(plain.size())) &&
                      EVP_EncryptFinal_ex(ctx, out + n1, &n2);
            std::free(out);
            EVP_CIPHER_CTX_free(ctx);
            return ok;
        });
        EVP_CIPHER_free(cipher);
        std::printf("Encrypt/%s/1MiB %.1f\n", name, us);
    }
    EVP_CIPHER* aes = EVP_CIPHER_fetch(library, "AES-256-CBC", nullptr);
    double us = MicrosecondsPerCall(rounds, [&] {
        const unsigned char* p = certificate.data();
        X509* cert = X509_new_ex(library, nullptr);
        d2i_X509(&cert, &p, long(certificate.size()));
        CMS_ContentInfo* cms = CMS_EnvelopedData_create_ex(aes, library, nullptr);
        CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms, cert, CMS_KEY_PARAM);
        EVP_PKEY_CTX* pctx = CMS_RecipientInfo_get0_pkey_ctx(ri);
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_OAEP_PADDING);
        EVP_PKEY_CTX_set_rsa_oaep_md_name(pctx, "SHA256", nullptr);
        EVP_PKEY_CTX_set_rsa_mgf1_md_name(pctx, "SHA256", nullptr);
        BIO* in = BIO_new_mem_buf(key.data(), 32);
        bool ok = CMS_final(cms, in, nullptr, CMS_BINARY) == 1;
        unsigned char* out = nullptr;
        ok = ok && i2d_CMS_ContentInfo(cms, &out) > 0;
        OPENSSL_free(out);
        BIO_free(in);
        CMS_ContentInfo_free(cms);
        X509_free(cert);
        return ok;
    });
    EVP_CIPHER_free(aes);
    std::printf("Seal/RSA-2048 %.1f\n", us);
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(standard);
    OSSL_LIB_CTX_free(library);
    return 0;
}

#endif

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pe_engine_bench CERTIFICATE.der [ROUNDS] [CORVANE.dll]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<uint8_t> certificate{std::istreambuf_iterator<char>(file), {}};
    if (certificate.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const char* dll = argc > 3 ? argv[3] : "Corvane.dll";
    return Run(certificate, rounds < 1 ? 1 : rounds, dll);
}
