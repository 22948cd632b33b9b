#include "store/core/layout.h"
#include "store/core/errors.h"
#include "store/core/ledra.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <system_error>

namespace ledra {
namespace {

std::mutex g_rootLock;
std::string g_rootOverride;

std::system_error Errno(const std::string& what) {
    return std::system_error(errno, std::generic_category(), what);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

void WriteAll(int fd, std::span<const uint8_t> bytes, const fs::path& path) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Errno("cannot write " + path.string());
        }
        done += static_cast<size_t>(n);
    }
}

constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kPrivateFile = 0600;

// Creates the file exclusively (its user's alone, whatever the umask), writes and flushes it.
void WriteNewFile(const fs::path& path, std::span<const uint8_t> bytes) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFile));
    if (fd.get() < 0) {
        throw Errno("cannot create " + path.string());
    }
    if (fchmod(fd.get(), kPrivateFile) != 0) {
        throw Errno("cannot make " + path.string() + " private");
    }
    WriteAll(fd.get(), bytes, path);
    if (fsync(fd.get()) != 0) {
        throw Errno("cannot flush " + path.string());
    }
    if (close(fd.Release()) != 0) {
        throw Errno("cannot close " + path.string());
    }
}

// Makes a rename durable: the folder that holds the new name is flushed.
void SyncFolder(const fs::path& folder) {
    Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) {
        fsync(fd.get());
    }
}

std::string RandomSuffix() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    uint64_t v = generator();
    for (int i = 0; i < 12; ++i, v >>= 4) {
        s += kDigits[v & 15];
    }
    return s;
}

// Removes a temporary file or folder on every path that did not hand it over.
class TemporaryPath {
public:
    explicit TemporaryPath(fs::path path) : path_(std::move(path)) {}
    TemporaryPath(const TemporaryPath&) = delete;
    TemporaryPath& operator=(const TemporaryPath&) = delete;
    ~TemporaryPath() {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove_all(path_, ignored);
        }
    }
    const fs::path& path() const { return path_; }
    void Release() { path_.clear(); }

private:
    fs::path path_;
};

// The path, when it is absolute; else empty.
fs::path Absolute(const char* path) {
    return path != nullptr && path[0] == '/' ? fs::path(path) : fs::path();
}

fs::path DefaultRoot() {
    if (fs::path xdg = Absolute(std::getenv("XDG_DATA_HOME")); !xdg.empty()) {
        return xdg / "quillmark" / "store";
    }
    if (fs::path home = Absolute(std::getenv("HOME")); !home.empty()) {
        return home / ".local" / "share" / "quillmark" / "store";
    }
    return {};
}

// Makes one folder that is its user's alone; false when it was there already.
bool MakePrivateFolder(const fs::path& folder) {
    if (mkdir(folder.c_str(), kPrivateFolder) != 0) {
        if (errno == EEXIST) {
            return false;
        }
        throw Errno("cannot create " + folder.string());
    }
    if (chmod(folder.c_str(), kPrivateFolder) != 0) { // whatever the umask took away
        throw Errno("cannot make " + folder.string() + " private");
    }
    return true;
}

} // namespace

WipedBytes& WipedBytes::operator=(WipedBytes&& other) noexcept {
    if (this != &other) {
        OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

WipedBytes::~WipedBytes() {
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

void WipedBytes::Resize(size_t size) {
    if (size < bytes_.size()) {
        OPENSSL_cleanse(bytes_.data() + size, bytes_.size() - size);
        bytes_.resize(size);
    }
}

void SetStoreRootOverride(const std::string& root) {
    std::lock_guard guard(g_rootLock);
    g_rootOverride = root;
}

fs::path StoreRoot() {
    {
        std::lock_guard guard(g_rootLock);
        if (!g_rootOverride.empty()) {
            return Absolute(g_rootOverride.c_str());
        }
    }
    if (const char* root = std::getenv("QUILLMARK_STORE"); root != nullptr && root[0] != '\0') {
        return Absolute(root);
    }
    return DefaultRoot();
}

int32_t CheckStoreRoot(const fs::path& root) {
    if (root.empty() || !root.is_absolute()) {
        return err::kNoStore;
    }
    struct stat st {};
    if (stat(root.c_str(), &st) != 0) {
        return 0; // nothing there to read: the listing finds no medium
    }
    return st.st_uid == geteuid() ? 0 : err::kForeignStore;
}

void CreatePrivateFolders(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        return;
    }
    if (fs::path parent = folder.parent_path(); !parent.empty() && parent != folder) {
        CreatePrivateFolders(parent);
    }
    MakePrivateFolder(folder);
}

void PrepareRootForWriting(const fs::path& root) {
    int32_t usable = CheckStoreRoot(root);
    if (usable == err::kNoStore) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "a store's root must be an absolute path");
    }
    if (usable == err::kForeignStore) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_permitted),
                                "the store at " + root.string() + " belongs to another user");
    }
    CreatePrivateFolders(root);
    // Made by this user a moment ago, or checked above; a root swapped in between fails here.
    struct stat st {};
    if (stat(root.c_str(), &st) != 0 || st.st_uid != geteuid() || !S_ISDIR(st.st_mode)) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_permitted),
                                "the store at " + root.string() + " is not this user's folder");
    }
    if ((st.st_mode & 07777) != kPrivateFolder && chmod(root.c_str(), kPrivateFolder) != 0) {
        throw Errno("cannot make the store at " + root.string() + " private");
    }
}

fs::path MediumFolder(const fs::path& root, int medium) {
    std::string name = "medium" + std::to_string(medium);
    if (std::optional<WipedBytes> link = ReadSmallFile(root / (name + ".link"), 4096)) {
        std::string target(link->data(), link->data() + link->size());
        target = target.substr(0, target.find_first_of("\r\n"));
        if (!target.empty()) {
            fs::path path(target);
            return path.is_absolute() ? path : root / path;
        }
    }
    return root / name;
}

fs::path RecipientsFolder(const fs::path& root) {
    return root / kRecipientsFolder;
}

std::optional<WipedBytes> ReadSmallFile(const fs::path& path, size_t limit) {
    // Non-blocking open: a FIFO planted in the store must not hang the caller.
    Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > limit) {
        return std::nullopt;
    }
    // One byte more than the limit tells a file that grew meanwhile from one that did not.
    WipedBytes bytes(limit + 1);
    size_t done = 0;
    for (;;) {
        ssize_t n = read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
        if (done > limit) {
            return std::nullopt;
        }
    }
    bytes.Resize(done);
    return bytes;
}

bool IsEncryptedPrivateKey(std::span<const uint8_t> der) {
    if (der.empty() || der.size() > LONG_MAX) {
        return false;
    }
    const unsigned char* p = der.data();
    X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size()));
    bool whole = sig != nullptr && p == der.data() + der.size();
    X509_SIG_free(sig);
    return whole;
}

bool ReadEntry(const fs::path& folder, bool withKey, Entry& out) {
    std::optional<WipedBytes> cert = ReadSmallFile(folder / kCertFile);
    if (!cert) {
        return false;
    }
    X509Ptr x509 = ParseCertificate(cert->span());
    if (!x509) {
        return false;
    }
    std::optional<std::string> subject = NameText(X509_get_subject_name(x509.get()));
    std::optional<std::string> issuer = NameText(X509_get_issuer_name(x509.get()));
    std::optional<int64_t> notAfter = NotAfter(x509.get());
    if (!subject || !issuer || !notAfter) {
        return false;
    }
    if (withKey) {
        std::optional<WipedBytes> key = ReadSmallFile(folder / kKeyFile);
        if (!key || !IsEncryptedPrivateKey(key->span())) {
            return false;
        }
        out.key = std::move(*key);
    }
    out.id = folder.filename().string();
    out.folder = folder;
    out.cert.assign(cert->data(), cert->data() + cert->size());
    out.subject = std::move(*subject);
    out.issuer = std::move(*issuer);
    out.notAfter = *notAfter;
    return true;
}

std::optional<std::vector<Entry>> ReadEntries(const fs::path& folder, bool withKey) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        return std::nullopt;
    }
    std::vector<Entry> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) {
            break; // the folder went away while it was read: keep what was read
        }
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') {
            continue;
        }
        Entry entry;
        if (ReadEntry(it->path(), withKey, entry)) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

void WriteFileAtomically(const fs::path& path, std::span<const uint8_t> bytes) {
    fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    TemporaryPath temp(folder / ("." + path.filename().string() + ".new-" + RandomSuffix()));
    WriteNewFile(temp.path(), bytes);
    if (rename(temp.path().c_str(), path.c_str()) != 0) {
        throw Errno("cannot rename into " + path.string());
    }
    temp.Release();
    SyncFolder(folder);
}

std::string WriteEntry(const fs::path& folder, std::span<const uint8_t> cert,
                       std::span<const uint8_t> key) {
    std::string id = Fingerprint(cert);
    if (id.empty()) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "cannot compute the certificate's fingerprint");
    }
    fs::path target = folder / id;
    TemporaryPath temp(folder / (".new-" + id.substr(0, 16) + "-" + RandomSuffix()));
    if (!MakePrivateFolder(temp.path())) {
        throw std::system_error(std::make_error_code(std::errc::file_exists),
                                "cannot create a folder in " + folder.string());
    }
    WriteNewFile(temp.path() / kCertFile, cert);
    if (!key.empty()) {
        WriteNewFile(temp.path() / kKeyFile, key);
    }
    SyncFolder(temp.path());
    // RENAME_NOREPLACE: an entry that is already there is never replaced by a half-known one.
    if (renameat2(AT_FDCWD, temp.path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        int error = errno == ENOTEMPTY ? EEXIST : errno;
        throw std::system_error(error, std::generic_category(),
                                "cannot add the entry " + target.string());
    }
    temp.Release();
    SyncFolder(folder);
    return id;
}

void RemoveEntry(const fs::path& entryFolder) {
    fs::path hidden =
        entryFolder.parent_path() /
        (".del-" + entryFolder.filename().string().substr(0, 16) + "-" + RandomSuffix());
    if (rename(entryFolder.c_str(), hidden.c_str()) != 0) {
        throw Errno("cannot remove " + entryFolder.string());
    }
    SyncFolder(entryFolder.parent_path());
    std::error_code ignored;
    fs::remove_all(hidden, ignored);
}

} // namespace ledra
