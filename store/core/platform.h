// What the store needs of the operating system, with one implementation per platform:
// platform_posix.cpp (Linux: the native tests, the sanitizers, the fuzzers and the native tool)
// and platform_windows.cpp (Ledra.dll and ledra-tool.exe). Everything else in the core is shared,
// so that both keep one store format and one set of rules.
#pragma once

#include "store/core/access.h"

#include "platform/SecureWipe.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ledra {
using qm::WipedBytes;
}

namespace ledra::platform {

namespace fs = std::filesystem;

// An environment variable as UTF-8, read afresh on every call (a Windows host may change its own
// environment while the store is loaded); nothing when it is unset or empty.
std::optional<std::string> EnvironmentText(const char* name);

// The root that the environment names: QUILLMARK_STORE when it is set, else the user's own
// default (see layout.h). Not yet checked to be absolute.
fs::path RootFromEnvironment();

// A folder opened once. What is judged and what is read are that same folder, whatever happens
// to its path meanwhile (a folder on the way renamed, a link pointed elsewhere): its owner and
// its ACL or mode are read from the open handle, and its content is listed and read relative to
// it, never through a path resolved anew.
class Folder {
public:
    Folder() = default;
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder();

    // The folder at an absolute path, through any links on the way and at its end (a medium may
    // be kept behind one). Closed when nothing is there, it is not a folder, or it cannot be
    // opened.
    static Folder Open(const fs::path& path);

    // The folder of that name directly inside this one. With `followLink` a link of that name
    // leads where it points, else a link is not opened at all (what the store reads inside a
    // medium never leads out of it). Closed as Open is.
    Folder Child(const fs::path& name, bool followLink) const;

    explicit operator bool() const;
    // The path it was opened by: for names and messages, never to be opened again.
    const fs::path& path() const { return path_; }

    // Who owns the opened folder and who besides may write to it, by the rules of access.h.
    FolderTrust Judge() const;

    // The names in the folder ("." and ".." left out); nothing when it cannot be listed.
    std::optional<std::vector<fs::path>> Names() const;

    // As ReadRegularFile, for a file directly inside the folder; a link is never followed.
    bool ReadFile(const fs::path& name, size_t limit, WipedBytes& out) const;

private:
    fs::path path_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Who owns the folder and who besides may write to it, judged by the rules of access.h on the
// folder as it is opened; one that cannot be opened is judged by what its path shows (kMissing
// when nothing is there).
FolderTrust InspectFolder(const fs::path& folder);

// For the tool's refusal of a folder that others may write to: who they are, in words, and the
// commands (one a line) that leave it to its user alone, as the store makes its own folders.
// Either is empty where it cannot be told.
struct OpenFolderAdvice {
    std::string others;
    std::string commands;
};
OpenFolderAdvice AdviseOnOpenFolder(const fs::path& folder);

// Makes one folder open to this user alone (and, on Windows, the system and the administrators,
// as the user's own profile folders are); false when something of that name is there already.
// Throws std::system_error on any other failure.
bool MakePrivateFolder(const fs::path& folder);

// Closes an existing folder of this user's to everyone else, as MakePrivateFolder would have
// made it. Throws std::system_error on failure.
void MakeFolderPrivate(const fs::path& folder);

// Creates a file that did not exist, open to this user alone, writes the bytes and flushes them
// to the disk. Throws std::system_error on failure.
void WriteNewFile(const fs::path& path, std::span<const uint8_t> bytes);

// Puts the file `from` in the place of `to` in one step, replacing whatever is there, and returns
// once the new name is on the disk. Throws std::system_error on failure.
void RenameOver(const fs::path& from, const fs::path& to);

// Gives a folder, whose content is flushed first, a new name in the same folder, and returns once
// the new name is on the disk. Never replaces anything: throws std::system_error with EEXIST when
// `to` is there, and on any other failure.
void MoveFolder(const fs::path& from, const fs::path& to);

// Reads a regular file of at most `limit` bytes into `out`. False when it is missing, is not a
// regular file (a FIFO or a device would block or never end), is larger, or cannot be read.
bool ReadRegularFile(const fs::path& path, size_t limit, WipedBytes& out);

// Converts single UTF-8 characters to a Windows code page.
class AnsiEncoder {
public:
    explicit AnsiEncoder(int codePage);
    AnsiEncoder(const AnsiEncoder&) = delete;
    AnsiEncoder& operator=(const AnsiEncoder&) = delete;
    ~AnsiEncoder();

    // Appends the character in the code page to `out`; false when the code page lacks it (a code
    // page the platform does not know still has ASCII). Never a best-fit look-alike: 'ä' is not
    // 'a', so a DN never names another one's entry.
    bool Append(std::string_view character, std::string& out);

private:
    int codePage_;
    void* converter_ = nullptr; // the platform's conversion state, where it keeps one
};

} // namespace ledra::platform
