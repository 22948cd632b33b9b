// The store's readers fed a hostile entry: the same bytes as a user's certificate and key on
// medium 0 and as a recipient's certificate, read through every listing and lookup. Nothing may
// crash or write past the caller's areas.
#include "store/core/certificate.h"
#include "store/core/ledra.h"
#include "tests/support/temp_dir.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>


namespace fs = std::filesystem;

namespace {

// The store that the readers read, made once, in a temporary folder that goes when the run ends.
fs::path Root() {
    static const qmtest::TempDir dir{"ledra-fuzz"};
    static const fs::path root = [] {
        fs::create_directories(dir / "medium0" / "entry");
        fs::create_directories(dir / "recipients" / "entry");
        setenv("QUILLMARK_STORE", dir.path().c_str(), 1);
        return dir.path();
    }();
    return root;
}

void Write(const fs::path& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

// Guard bytes after each area catch a write past it.
template <size_t N> struct Fenced {
    uint8_t area[N];
    uint8_t fence[64];
    Fenced() { std::memset(fence, 0xA5, sizeof(fence)); }
    void Check() const {
        for (uint8_t b : fence) {
            if (b != 0xA5) {
                std::abort();
            }
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fs::path root = Root();
    Write(root / "medium0" / "entry" / "cert.der", data, size);
    Write(root / "medium0" / "entry" / "key.p8", data, size);
    Write(root / "recipients" / "entry" / "cert.der", data, size);

    // The parser on its own, as the listings use it.
    if (auto cert = ledra::ParseCertificate({data, size})) {
        (void)ledra::NameText(X509_get_subject_name(cert.get()));
        (void)ledra::NotAfter(cert.get());
    }

    auto dns = std::make_unique<Fenced<7680>>();
    int32_t count = ledra::LD_GetKeyDN(0, reinterpret_cast<char*>(dns->area), 0, 700);
    dns->Check();
    auto records = std::make_unique<Fenced<20400>>();
    ledra::LD_GetKeyInfo(0, reinterpret_cast<CertInfoRecord*>(records->area), 0, 700, "5821");
    records->Check();
    ledra::LD_GetCertInfo(1, reinterpret_cast<CertInfoRecord*>(records->area), 700);
    records->Check();

    std::string dn = count > 0 ? std::string(reinterpret_cast<char*>(dns->area),
                                             strnlen(reinterpret_cast<char*>(dns->area), 256))
                               : std::string("cn=nobody");
    auto block = std::make_unique<Fenced<3000>>();
    ByteBuffer out{0, block->area};
    ledra::LD_GetMyCert(dn.c_str(), 0, 0, 700, "5821", &out);
    block->Check();
    out = {0, block->area};
    ledra::LD_GetKey(dn.c_str(), 0, 0, 700, "5821", &out);
    block->Check();
    out = {0, block->area};
    ledra::LD_GetCert(dn.c_str(), 1, &out);
    block->Check();
    if (out.length < 0 || out.length > 3000) {
        std::abort();
    }
    return 0;
}
