// The store on a POSIX system: folders 0700, files 0600, fsync before and after every rename.
#include "store/core/codepage.h"
#include "store/core/layout.h"
#include "store/core/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <utility>

namespace ledra::platform {
namespace {

constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kPrivateFile = 0600;

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
            throw Errno("cannot write " + PathText(path));
        }
        done += static_cast<size_t>(n);
    }
}

// Makes a rename durable: the folder that holds the new name is flushed.
void SyncFolder(const fs::path& folder) {
    Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) {
        fsync(fd.get());
    }
}

fs::path FolderOf(const fs::path& path) {
    return path.parent_path().empty() ? fs::path(".") : path.parent_path();
}

// The path, when it is absolute; else empty.
fs::path Absolute(const std::optional<std::string>& path) {
    return path && (*path)[0] == '/' ? fs::path(*path) : fs::path();
}

// A single name in a folder, never a path that leads elsewhere.
bool IsOneName(const fs::path& name) {
    const std::string& text = name.native();
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos;
}

// Reads the regular file open as `fd` (closed: false), of at most `limit` bytes.
bool ReadOpenFile(int fd, size_t limit, WipedBytes& out) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > limit) {
        return false;
    }
    // One byte more than the limit tells a file that grew meanwhile from one that did not.
    WipedBytes bytes(limit + 1);
    size_t done = 0;
    for (;;) {
        ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
        if (done > limit) {
            return false;
        }
    }
    bytes.Shrink(done);
    out = std::move(bytes);
    return true;
}

} // namespace

std::optional<std::string> EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

fs::path RootFromEnvironment() {
    if (std::optional<std::string> root = EnvironmentText("QUILLMARK_STORE")) {
        return fs::path(*root);
    }
    if (fs::path xdg = Absolute(EnvironmentText("XDG_DATA_HOME")); !xdg.empty()) {
        return xdg / "quillmark" / "store";
    }
    if (fs::path home = Absolute(EnvironmentText("HOME")); !home.empty()) {
        return home / ".local" / "share" / "quillmark" / "store";
    }
    return {};
}

Folder::Folder(Folder&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Folder::~Folder() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

Folder Folder::Open(const fs::path& path) {
    Folder folder;
    // O_DIRECTORY: a FIFO or a device in a folder's place is refused before it is opened.
    folder.fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (folder.fd_ >= 0) {
        folder.path_ = path;
    }
    return folder;
}

Folder Folder::Child(const fs::path& name, bool followLink) const {
    Folder child;
    if (fd_ < 0 || !IsOneName(name)) {
        return child;
    }
    int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    child.fd_ = openat(fd_, name.c_str(), flags);
    if (child.fd_ >= 0) {
        child.path_ = path_ / name;
    }
    return child;
}

Folder::operator bool() const {
    return fd_ >= 0;
}

FolderTrust Folder::Judge() const {
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        return FolderTrust::kMissing;
    }
    return JudgePosixFolder(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
}

std::optional<std::vector<fs::path>> Folder::Names() const {
    // A directory stream of its own over the same folder; it shares the position with `fd_`, so
    // every listing starts from the beginning.
    int copy = fd_ >= 0 ? fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0) {
            close(copy);
        }
        return std::nullopt;
    }
    rewinddir(dir);
    std::vector<fs::path> names;
    while (const dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    closedir(dir);
    return names;
}

bool Folder::ReadFile(const fs::path& name, size_t limit, WipedBytes& out) const {
    if (fd_ < 0 || !IsOneName(name)) {
        return false;
    }
    // Non-blocking: a FIFO planted in the store must not hang the caller.
    Fd file(openat(fd_, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    return ReadOpenFile(file.get(), limit, out);
}

FolderTrust InspectFolder(const fs::path& folder) {
    if (Folder opened = Folder::Open(folder)) {
        return opened.Judge();
    }
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        return FolderTrust::kMissing; // nothing this user can read there
    }
    return JudgePosixFolder(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
}

OpenFolderAdvice AdviseOnOpenFolder(const fs::path& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        return {};
    }
    bool group = (st.st_mode & S_IWGRP) != 0, others = (st.st_mode & S_IWOTH) != 0;
    OpenFolderAdvice advice;
    advice.others = group && others ? "its group and everyone" : group ? "its group" : "everyone";
    // Quoted for the shell: ' ends the quoted text, so it is given as '\''.
    std::string quoted = "'";
    for (char c : PathText(folder)) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    advice.commands = "chmod go-w " + quoted + "'";
    return advice;
}

bool MakePrivateFolder(const fs::path& folder) {
    if (mkdir(folder.c_str(), kPrivateFolder) != 0) {
        if (errno == EEXIST) {
            return false;
        }
        throw Errno("cannot create " + PathText(folder));
    }
    if (chmod(folder.c_str(), kPrivateFolder) != 0) { // whatever the umask took away
        throw Errno("cannot make " + PathText(folder) + " private");
    }
    return true;
}

void MakeFolderPrivate(const fs::path& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        throw Errno("cannot read " + PathText(folder));
    }
    if ((st.st_mode & 07777) != kPrivateFolder && chmod(folder.c_str(), kPrivateFolder) != 0) {
        throw Errno("cannot make " + PathText(folder) + " private");
    }
}

void WriteNewFile(const fs::path& path, std::span<const uint8_t> bytes) {
    // Created exclusively and its user's alone, whatever the umask.
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFile));
    if (fd.get() < 0) {
        throw Errno("cannot create " + PathText(path));
    }
    if (fchmod(fd.get(), kPrivateFile) != 0) {
        throw Errno("cannot make " + PathText(path) + " private");
    }
    WriteAll(fd.get(), bytes, path);
    if (fsync(fd.get()) != 0) {
        throw Errno("cannot flush " + PathText(path));
    }
    if (close(fd.Release()) != 0) {
        throw Errno("cannot close " + PathText(path));
    }
}

void RenameOver(const fs::path& from, const fs::path& to) {
    if (rename(from.c_str(), to.c_str()) != 0) {
        throw Errno("cannot rename into " + PathText(to));
    }
    SyncFolder(FolderOf(to));
}

void MoveFolder(const fs::path& from, const fs::path& to) {
    SyncFolder(from);
    // RENAME_NOREPLACE: an entry that is already there is never replaced by a half-known one.
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        int error = errno == ENOTEMPTY ? EEXIST : errno;
        throw std::system_error(error, std::generic_category(), "cannot rename " + PathText(to));
    }
    SyncFolder(FolderOf(to));
}

bool ReadRegularFile(const fs::path& path, size_t limit, WipedBytes& out) {
    // Non-blocking open: a FIFO planted in the store must not hang the caller.
    Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return ReadOpenFile(fd.get(), limit, out);
}

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

std::string IconvName(int codePage) {
    switch (codePage) {
    case 20127:
        return "ASCII";
    case 20932:
        return "EUC-JP";
    case 51949:
        return "EUC-KR";
    default:
        return "CP" + std::to_string(codePage);
    }
}

} // namespace

AnsiEncoder::AnsiEncoder(int codePage) : codePage_(codePage) {
    if (codePage_ == kUtf8CodePage) {
        return; // nothing to convert
    }
    iconv_t cd = iconv_open(IconvName(codePage_).c_str(), "UTF-8");
    converter_ = cd == kNoConverter ? nullptr : cd;
}

AnsiEncoder::~AnsiEncoder() {
    if (converter_ != nullptr) {
        iconv_close(static_cast<iconv_t>(converter_));
    }
}

bool AnsiEncoder::Append(std::string_view character, std::string& out) {
    if (converter_ == nullptr) {
        if (character.size() == 1) { // an unknown code page still has ASCII
            out.append(character);
            return true;
        }
        return false;
    }
    iconv_t cd = static_cast<iconv_t>(converter_);
    char buffer[16];
    char* in = const_cast<char*>(character.data());
    size_t inLeft = character.size();
    char* outPtr = buffer;
    size_t outLeft = sizeof(buffer);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) {
        return false;
    }
    out.append(buffer, outPtr - buffer);
    return true;
}

} // namespace ledra::platform
