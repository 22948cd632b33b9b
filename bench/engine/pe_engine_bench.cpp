// The Windows build of the crypto engine next to the machine's own OpenSSL, on the same work:
// enciphering 1 MiB with SEED, ARIA and AES (CBC) and sealing a session key to an RSA-2048
// certificate (CMS, RSAES-OAEP with SHA-256); and, for scale, wiping 1 MiB, which the engine
// does to every block it frees.
//
// One source, two programs: built for Windows it loads Corvane.dll by full path and calls it by
// ordinal, as Quillmark.dll does (run under Wine); built natively it makes the same OpenSSL calls
// a careful caller would. bench/engine/compare-pe.sh runs both in turns and prints the ratios.
//
//   pe_engine_bench CERTIFICATE.der [ROUNDS] [CORVANE.dll [OTHER.dll ...]]
//
// prints one line per operation: its name, the fastest of ROUNDS rounds and the processor time
// of all rounds, both in microseconds per operation (each round repeats the operation for at least
// 50 ms). Given several engine DLLs (the Windows program), it loads them all and measures them in
// turns, round by round, so that each meets the same load; the figures of the second and later
// ones carry "#1", "#2"... after the name.
#include "platform/abi.h"
#include "platform/ciphers.h"

#include <chrono>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <time.h>
#endif

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
// The ciphers measured, rows of the engine's table: the ones a page most often asks for.
const qm::CipherRow* const kCiphers[] = {qm::FindCipher("SEED"), qm::FindCipher("ARIA"),
                                         qm::FindCipher("AES")};

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(generator());
    }
    return bytes;
}

// The processor time this thread has used, in microseconds. Wine counts it in ticks of 10 ms,
// so only a sum over many rounds is worth reading there.
double ThreadCpuMicroseconds() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    auto us = [](const FILETIME& t) {
        return double(uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10;
    };
    return us(kernel) + us(user);
#else
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
#endif
}

// What an operation took: the fastest round's time per call, the nearest to what an idle machine
// does, and the processor time per call over all rounds, which other programs' load changes far
// less (it leaves out the time spent waiting for a processor). -1: the operation failed.
struct Figure {
    double us = -1;
    double cpuUs = -1;
};

// The operations' tallies over their rounds.
struct Tally {
    double fastest = -1;
    double cpu = 0;
    long calls = 0;
    bool failed = false;
};

// One round: `operation` repeated for at least 50 ms, added to its tally.
void OneRound(const std::function<bool()>& operation, Tally& tally) {
    using Clock = std::chrono::steady_clock;
    long calls = 0;
    double cpuStart = ThreadCpuMicroseconds();
    Clock::time_point start = Clock::now();
    Clock::duration spent{};
    do {
        if (!operation()) {
            tally.failed = true;
            return;
        }
        ++calls;
        spent = Clock::now() - start;
    } while (spent < std::chrono::milliseconds(50));
    tally.cpu += ThreadCpuMicroseconds() - cpuStart;
    tally.calls += calls;
    double each = std::chrono::duration<double, std::micro>(spent).count() / double(calls);
    tally.fastest = tally.fastest < 0 || each < tally.fastest ? each : tally.fastest;
}

// The figures of each operation over `rounds` rounds, the operations taking their rounds in turns
// (each round starting with the next one, so that none is always first).
std::vector<Figure> InTurns(int rounds, const std::vector<std::function<bool()>>& operations) {
    std::vector<Tally> tallies(operations.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t turn = 0; turn < operations.size(); ++turn) {
            size_t i = (size_t(round) + turn) % operations.size();
            if (!tallies[i].failed) {
                OneRound(operations[i], tallies[i]);
            }
        }
    }
    std::vector<Figure> figures(operations.size());
    for (size_t i = 0; i < tallies.size(); ++i) {
        if (!tallies[i].failed && tallies[i].calls > 0) {
            figures[i] = {tallies[i].fastest, tallies[i].cpu / double(tallies[i].calls)};
        }
    }
    return figures;
}

Figure Measure(int rounds, const std::function<bool()>& operation) {
    return InTurns(rounds, {operation}).front();
}

// One line per engine: the first under the operation's name, the others with "#1", "#2"...; then
// the fastest round's and the processor's microseconds per call.
void PrintFigures(const std::string& name, const std::vector<Figure>& figures) {
    for (size_t i = 0; i < figures.size(); ++i) {
        std::printf("%s%s %.1f %.1f\n", name.c_str(),
                    i == 0 ? "" : ("#" + std::to_string(i)).c_str(), figures[i].us,
                    figures[i].cpuUs);
    }
}

// What wiping a freed megabyte costs, as the engine wipes it (a store the compiler must keep).
void PrintWipe(int rounds) {
    std::vector<uint8_t> block(kBlock, 0x5A);
    PrintFigures("Wipe/1MiB", {Measure(rounds, [&] {
                     std::memset(block.data(), 0, block.size());
                     __asm__ __volatile__("" : : "r"(block.data()) : "memory");
                     return true;
                 })});
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

// One engine DLL and the functions the bench calls.
struct Bound {
    explicit Bound(const char* path) : engine(path) {
        namespace o = qm::ordinal;
        cipherId = engine.Function<CipherId>(o::CV_CipherId);
        encrypt = engine.Function<Cipher>(o::CV_Encrypt);
        release = engine.Function<Free>(o::CV_Free);
        init = engine.Function<Context>(o::CV_ContextInit);
        done = engine.Function<Context>(o::CV_ContextFree);
        seal = engine.Function<Seal>(o::CV_EncryptForCertificate);
    }
    bool ok() const { return engine && cipherId && encrypt && release && init && done && seal; }

    Engine engine;
    CipherId cipherId = nullptr;
    Cipher encrypt = nullptr;
    Free release = nullptr;
    Context init = nullptr;
    Context done = nullptr;
    Seal seal = nullptr;
    EngineContext context{};
};

int Run(const std::vector<uint8_t>& certificate, int rounds, const std::vector<const char*>& dlls) {
    std::vector<std::unique_ptr<Bound>> engines;
    for (const char* dll : dlls) {
        engines.push_back(std::make_unique<Bound>(dll));
        if (!engines.back()->ok()) {
            std::fprintf(stderr, "cannot bind %s (error %lu)\n", dll, GetLastError());
            return 1;
        }
    }
    std::vector<uint8_t> plain = Bytes(kBlock, 1);
    std::vector<uint8_t> key = Bytes(32, 2);
    ByteBuffer in{int32_t(plain.size()), plain.data()};
    for (const qm::CipherRow* cipher : kCiphers) {
        std::vector<std::function<bool()>> operations;
        for (auto& e : engines) {
            int32_t id = 0;
            e->cipherId(cipher->name, &id);
            operations.push_back([&e, id, &in, &key] {
                ByteBuffer out{0, nullptr};
                bool ok = e->encrypt(id, key.data(), key.data() + 16, &in, &out) == 0;
                e->release(out.data);
                return ok;
            });
        }
        PrintFigures(std::string("Encrypt/") + cipher->name + "/1MiB", InTurns(rounds, operations));
    }
    ByteBuffer cert{int32_t(certificate.size()), const_cast<uint8_t*>(certificate.data())};
    ByteBuffer secret{32, key.data()};
    std::vector<std::function<bool()>> operations;
    for (auto& e : engines) {
        e->init(&e->context);
        operations.push_back([&e, &cert, &secret] {
            ByteBuffer out{0, nullptr};
            bool ok = e->seal(&e->context, &cert, &secret, &out) == 0;
            e->release(out.data);
            return ok;
        });
    }
    PrintFigures("Seal/RSA-2048", InTurns(rounds, operations));
    for (auto& e : engines) {
        e->done(&e->context);
    }
    PrintWipe(rounds);
    return 0;
}

#else

// The machine's OpenSSL in a library context of its own, with the providers the engine uses.
int Run(const std::vector<uint8_t>& certificate, int rounds,
        const std::vector<const char*>& /*dlls*/) {
    OSSL_LIB_CTX* library = OSSL_LIB_CTX_new();
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(library, "default");
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(library, "legacy");
    std::vector<uint8_t> plain = Bytes(kBlock, 1);
    std::vector<uint8_t> key = Bytes(32, 2);
    for (const qm::CipherRow* row : kCiphers) {
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(library, row->evpName, nullptr);
        Figure figure = Measure(rounds, [&] {
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
        PrintFigures(std::string("Encrypt/") + row->name + "/1MiB", {figure});
    }
    EVP_CIPHER* aes = EVP_CIPHER_fetch(library, "AES-256-CBC", nullptr);
    Figure figure = Measure(rounds, [&] {
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
    PrintFigures("Seal/RSA-2048", {figure});
    PrintWipe(rounds);
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(standard);
    OSSL_LIB_CTX_free(library);
    return 0;
}

#endif

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pe_engine_bench CERTIFICATE.der [ROUNDS] [CORVANE.dll ...]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<uint8_t> certificate{std::istreambuf_iterator<char>(file), {}};
    if (certificate.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<const char*> dlls(argv + std::min(argc, 3), argv + argc);
    if (dlls.empty()) {
        dlls.push_back("Corvane.dll");
    }
    return Run(certificate, rounds < 1 ? 1 : rounds, dlls);
}
