#include "store/core/layout.h"
#include "store/core/errors.h"
#include "store/core/ledra.h"
#include "store/core/platform.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <random>
#include <system_error>

namespace ledra {
namespace {

std::mutex g_rootLock;
std::string g_rootOverride;

constexpr const char* kLinkSuffix = ".link";
constexpr size_t kMaxLinkFileSize = 4096;

std::string MediumName(int medium) {
    return "medium" + std::to_string(medium);
}

// The folder that a "mediumN.link" file names: its first line, a path relative to the root or
// absolute; nothing when the line is empty.
std::optional<fs::path> LinkTarget(const fs::path& root, const WipedBytes& link) {
    std::string target(link.data(), link.data() + link.size());
    target = target.substr(0, target.find_first_of("\r\n"));
    if (target.empty()) {
        return std::nullopt;
    }
    fs::path path = PathFromUtf8(target);
    return path.is_absolute() ? path : root / path;
}

int32_t RefusalCode(FolderTrust trust) {
    switch (trust) {
    case FolderTrust::kOtherOwner:
        return err::kForeignStore;
    case FolderTrust::kOthersMayWrite:
        return err::kOpenStore;
    case FolderTrust::kTrusted:
        return 0;
    default:
        return err::kNoMedium;
    }
}

// Takes an opened folder of the store into `out` when the store may read it. One that could not
// be opened is not read either way; it is refused as what its path shows (another user's folder
// that this one may not open) or else is no medium.
int32_t Opened(platform::Folder folder, const fs::path& path, platform::Folder& out) {
    if (!folder) {
        int32_t rc = RefusalCode(platform::InspectFolder(path));
        return rc != 0 ? rc : err::kNoMedium;
    }
    if (int32_t rc = RefusalCode(folder.Judge()); rc != 0) {
        return rc;
    }
    out = std::move(folder);
    return 0;
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
fs::path AbsoluteOrNothing(fs::path path) {
    return path.is_absolute() ? path : fs::path();
}

std::system_error NotPermitted(const std::string& what) {
    return std::system_error(std::make_error_code(std::errc::operation_not_permitted), what);
}

// "<prefix><name>-<random>": a name that starts with '.', never read as an entry.
fs::path HiddenName(const char* prefix, const fs::path& name) {
    fs::path hidden = prefix;
    hidden += name.native();
    hidden += "-" + RandomSuffix();
    return hidden;
}

} // namespace

fs::path PathFromUtf8(std::string_view text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string PathText(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void SetStoreRootOverride(const std::string& root) {
    std::lock_guard guard(g_rootLock);
    g_rootOverride = root;
}

fs::path StoreRoot() {
    {
        std::lock_guard guard(g_rootLock);
        if (!g_rootOverride.empty()) {
            return AbsoluteOrNothing(PathFromUtf8(g_rootOverride));
        }
    }
    return AbsoluteOrNothing(platform::RootFromEnvironment());
}

bool IsHidden(const fs::path& path) {
    fs::path name = path.filename();
    return name.empty() || name.native()[0] == '.';
}

int32_t CheckStoreFolder(const fs::path& folder) {
    switch (platform::InspectFolder(folder)) {
    case FolderTrust::kOtherOwner:
        return err::kForeignStore;
    case FolderTrust::kOthersMayWrite:
        return err::kOpenStore;
    default:
        return 0; // the user's, or nothing there to read
    }
}

int32_t CheckStoreRoot(const fs::path& root) {
    if (root.empty() || !root.is_absolute()) {
        return err::kNoStore;
    }
    return CheckStoreFolder(root);
}

void CreatePrivateFolders(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        return;
    }
    if (fs::path parent = folder.parent_path(); !parent.empty() && parent != folder) {
        CreatePrivateFolders(parent);
    }
    platform::MakePrivateFolder(folder);
}

void PrepareRootForWriting(const fs::path& root) {
    switch (CheckStoreRoot(root)) {
    case err::kNoStore:
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "a store's root must be an absolute path");
    case err::kForeignStore:
        throw NotPermitted("the store at " + PathText(root) + " belongs to another user");
    case err::kOpenStore:
        throw NotPermitted("the store at " + PathText(root) + " can be written by other users");
    default:
        break;
    }
    CreatePrivateFolders(root);
    // Made by this user a moment ago, or checked above; a root swapped in between fails here.
    if (platform::InspectFolder(root) != FolderTrust::kTrusted) {
        throw NotPermitted("the store at " + PathText(root) + " is not this user's folder");
    }
    platform::MakeFolderPrivate(root);
}

fs::path MediumFolder(const fs::path& root, int medium) {
    std::string name = MediumName(medium);
    WipedBytes link;
    if (platform::ReadRegularFile(root / (name + kLinkSuffix), kMaxLinkFileSize, link)) {
        if (std::optional<fs::path> target = LinkTarget(root, link)) {
            return *target;
        }
    }
    return root / name;
}

int32_t OpenStoreFolder(const fs::path& root, int medium, platform::Folder& out) {
    if (root.empty() || !root.is_absolute()) {
        return err::kNoStore;
    }
    platform::Folder store;
    if (int32_t rc = Opened(platform::Folder::Open(root), root, store); rc != 0) {
        return rc;
    }
    if (medium == kRecipients) {
        return Opened(store.Child(kRecipientsFolder, true), root / kRecipientsFolder, out);
    }
    // A medium's own folder may be a link that the user put in the root: it leads where the user
    // chose, and what it leads to is judged.
    std::string name = MediumName(medium);
    WipedBytes link;
    if (store.ReadFile(name + kLinkSuffix, kMaxLinkFileSize, link)) {
        if (std::optional<fs::path> target = LinkTarget(root, link)) {
            return Opened(platform::Folder::Open(*target), *target, out);
        }
    }
    return Opened(store.Child(name, true), root / name, out);
}

fs::path RecipientsFolder(const fs::path& root) {
    return root / kRecipientsFolder;
}

std::optional<WipedBytes> ReadSmallFile(const fs::path& path, size_t limit) {
    WipedBytes bytes;
    if (!platform::ReadRegularFile(path, limit, bytes)) {
        return std::nullopt;
    }
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

bool ReadEntry(const platform::Folder& folder, const fs::path& name, bool withKey, Entry& out) {
    platform::Folder entry = folder.Child(name, false);
    WipedBytes cert;
    if (!entry || !entry.ReadFile(kCertFile, kMaxEntryFileSize, cert)) {
        return false;
    }
    X509Ptr x509 = ParseCertificate(cert.span());
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
        WipedBytes key;
        if (!entry.ReadFile(kKeyFile, kMaxEntryFileSize, key) ||
            !IsEncryptedPrivateKey(key.span())) {
            return false;
        }
        out.key = std::move(key);
    }
    out.id = PathText(name);
    out.folder = entry.path();
    out.cert.assign(cert.data(), cert.data() + cert.size());
    out.subject = std::move(*subject);
    out.issuer = std::move(*issuer);
    out.notAfter = *notAfter;
    return true;
}

bool ReadEntry(const fs::path& entryFolder, bool withKey, Entry& out) {
    platform::Folder folder = platform::Folder::Open(entryFolder.parent_path());
    return ReadEntry(folder, entryFolder.filename(), withKey, out);
}

std::optional<FolderContents> ReadFolder(const platform::Folder& folder, bool withKey) {
    std::optional<std::vector<fs::path>> names = folder.Names();
    if (!names) {
        return std::nullopt;
    }
    FolderContents contents;
    for (const fs::path& name : *names) {
        if (IsHidden(name)) {
            continue;
        }
        Entry entry;
        if (ReadEntry(folder, name, withKey, entry)) {
            contents.entries.push_back(std::move(entry));
        } else {
            contents.damaged.push_back(PathText(name));
        }
    }
    return contents;
}

std::optional<std::vector<Entry>> ReadEntries(const fs::path& folder, bool withKey) {
    std::optional<FolderContents> contents = ReadFolder(platform::Folder::Open(folder), withKey);
    if (!contents) {
        return std::nullopt;
    }
    return std::move(contents->entries);
}

void WriteFileAtomically(const fs::path& path, std::span<const uint8_t> bytes) {
    fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    fs::path name = path.filename();
    name += ".new";
    TemporaryPath temp(folder / HiddenName(".", name));
    platform::WriteNewFile(temp.path(), bytes);
    platform::RenameOver(temp.path(), path);
    temp.Release();
}

std::string WriteEntry(const fs::path& folder, std::span<const uint8_t> cert,
                       std::span<const uint8_t> key) {
    std::string id = Fingerprint(cert);
    if (id.empty()) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "cannot compute the certificate's fingerprint");
    }
    fs::path target = folder / id;
    TemporaryPath temp(folder / HiddenName(".new-", id.substr(0, 16)));
    if (!platform::MakePrivateFolder(temp.path())) {
        throw std::system_error(std::make_error_code(std::errc::file_exists),
                                "cannot create a folder in " + PathText(folder));
    }
    platform::WriteNewFile(temp.path() / kCertFile, cert);
    if (!key.empty()) {
        platform::WriteNewFile(temp.path() / kKeyFile, key);
    }
    platform::MoveFolder(temp.path(), target);
    temp.Release();
    return id;
}

void RemoveEntry(const fs::path& entryFolder) {
    fs::path hidden = entryFolder.parent_path() /
                      HiddenName(".del-", entryFolder.filename().native().substr(0, 16));
    platform::MoveFolder(entryFolder, hidden);
    std::error_code ignored;
    fs::remove_all(hidden, ignored);
}

} // namespace ledra
