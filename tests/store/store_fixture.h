// Helpers of the store's tests: scratch stores, certificates made to measure, the store tool.
#pragma once

#include "store/core/layout.h"
#include "store/core/ledra.h"
#include "store/tool/pki.h"

#include "external/store.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ledra::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchFolder : public qmtest::TempDir {
public:
    ScratchFolder() : TempDir("ledra-test") {}
};

// A scratch store with the folders of a fresh store, in force for the core while it lives
// (code page 949, as where Quillmark runs).
class ScratchStore : public ScratchFolder {
public:
    ScratchStore();
    ~ScratchStore();
    fs::path Medium(int n) const { return path() / ("medium" + std::to_string(n)); }
    fs::path Recipients() const { return path() / "recipients"; }
};

// A caller's area of `count` T with a guard zone behind it, every byte of it kGuard at first.
inline constexpr uint8_t kGuard = 0xC3;
template <typename T> struct Guarded {
    explicit Guarded(size_t count = qm::kMaxListEntries)
        : bytes(count * sizeof(T) + 256, kGuard), size(count * sizeof(T)) {}
    T* get() { return reinterpret_cast<T*>(bytes.data()); }
    static bool IsGuard(uint8_t b) { return b == kGuard; }
    bool GuardIntact() const { return std::all_of(bytes.begin() + size, bytes.end(), IsGuard); }
    bool Untouched() const { return std::all_of(bytes.begin(), bytes.end(), IsGuard); }
    std::vector<uint8_t> bytes;
    size_t size;
};

// The DN area of a listing, and the DNs in its first `count` slots.
struct DnArea : Guarded<char> {
    DnArea() : Guarded(qm::kDnAreaSize) {}
    std::vector<std::string> Dns(int32_t count) {
        std::vector<std::string> dns;
        for (int32_t i = 0; i < count; ++i) {
            dns.emplace_back(get() + i * qm::kDnSlotSize);
        }
        return dns;
    }
};

// A 3,000-byte block as the callers hand it over.
struct Block : Guarded<uint8_t> {
    Block() : Guarded(qm::kStoreBlockSize) {}
    ByteBuffer buffer{-1, bytes.data()};
    std::span<const uint8_t> Delivered() const { return {bytes.data(), size_t(buffer.length)}; }
};

// A certificate made for a test: an Ed25519 key (quick to make, fixed-size signatures, so a
// padded certificate reaches an exact size).
struct Made {
    pki::PkeyPtr key;
    X509Ptr cert;
    std::vector<uint8_t> der;
};

struct MakeOptions {
    int64_t notAfter = 1900000000; // 2030-03-17
    size_t exactSize = 0;          // pad the certificate to this many DER bytes
    pki::NameParts issuer = {};    // empty: self-signed
};

Made MakeCertificate(const pki::NameParts& subject, const MakeOptions& options = {});

// An entry written straight into a folder: the certificate, and for an own entry the key
// encrypted under `password`.
std::string AddOwn(const fs::path& medium, const Made& made, const char* password = "pw");
std::string AddRecipient(const fs::path& folder, const Made& made);

using qm::testing::WriteFile;

// Environment variables that a test changes, put back as they were when it ends.
class SavedEnvironment {
public:
    explicit SavedEnvironment(std::vector<std::string> names) {
        for (std::string& name : names) {
            const char* value = std::getenv(name.c_str());
            saved_.emplace_back(std::move(name), value != nullptr
                                                     ? std::optional<std::string>(value)
                                                     : std::nullopt);
        }
    }
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;
    ~SavedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Makes a folder 0700.
inline void MakePrivate(const fs::path& folder) {
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
}

// The permission bits of a file or folder (07777 when it cannot be read).
inline unsigned Mode(const fs::path& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// Gives a folder to "the other user" (uid and gid 65534, nobody) while it lives, and back to
// this process's user afterwards. Only root can: `given()` says whether it did.
class GivenToAnotherUser {
public:
    explicit GivenToAnotherUser(fs::path folder)
        : folder_(std::move(folder)), given_(chown(folder_.c_str(), 65534, 65534) == 0) {}
    GivenToAnotherUser(const GivenToAnotherUser&) = delete;
    GivenToAnotherUser& operator=(const GivenToAnotherUser&) = delete;
    ~GivenToAnotherUser() {
        if (given_ && chown(folder_.c_str(), geteuid(), getegid()) != 0) {
            std::fprintf(stderr, "cannot take %s back\n", folder_.c_str());
        }
    }
    bool given() const { return given_; }

private:
    fs::path folder_;
    bool given_;
};

// Runs the store tool with these arguments (through the shell); captures its output.
struct ToolRun {
    int status = -1; // exit status (the shell's 128 + n when signal n ended it)
    std::string out;
    std::string err;
};
ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = {});

inline void PrintTo(const ToolRun& run, std::ostream* os) {
    *os << "status " << run.status << ", output \"" << run.out << "\", error \"" << run.err << "\"";
}

// A run that ended with `status` and said `message` on its standard error.
inline auto Ended(int status, const std::string& message = {}) {
    return ::testing::AllOf(::testing::Field("status", &ToolRun::status, status),
                            ::testing::Field("err", &ToolRun::err, ::testing::HasSubstr(message)));
}

} // namespace ledra::test
