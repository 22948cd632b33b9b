// The store on a POSIX system: folders 0700, files 0600, fsync before and after every rename.
#include "store/core/codepage.h"
#include "store/core/layout.h"
#include "store/core/platform.h"

#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

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

FolderTrust InspectFolder(const fs::path& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        return FolderTrust::kMissing; // nothing this user can read there
    }
    return JudgePosixFolder(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
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
    if (fd.get() < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > limit) {
        return false;
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
    bytes.Resize(done);
    out = std::move(bytes);
    return true;
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
