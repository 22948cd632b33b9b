// The store on disk.
//
//   <root>/                        $QUILLMARK_STORE when it names an absolute path; else, on
//                                  Linux, $XDG_DATA_HOME/quillmark/store or
//                                  ~/.local/share/quillmark/store, and on Windows
//                                  %LOCALAPPDATA%\Quillmark\Store (the known folder
//                                  FOLDERID_LocalAppData)
//     ledra-store                  marker written by the store tool ("Ledra certificate store 1")
//     medium0/ ... medium3/        the user's own certificates, one folder per medium; a medium
//                                  kept elsewhere (a USB stick) is a symbolic link, or a text file
//                                  "mediumN.link" whose first line is the folder's path (UTF-8)
//       <entry>/cert.der           the certificate (DER)
//       <entry>/key.p8             its private key: PKCS#8 EncryptedPrivateKeyInfo (DER)
//     recipients/                  recipients' certificates
//       <entry>/cert.der
//
// <entry> is the SHA-256 fingerprint of the certificate in hex, so any DN is safe on disk. Names
// starting with '.' are work in progress (an entry being written or removed) and never read. An
// entry appears and disappears whole: it is written under a temporary name and renamed, and a
// file is replaced by renaming a new one over it, so that a crash leaves the old or the new one,
// never half of one.
//
// The store belongs to one user: the DNs in it are people's names and the keys are theirs. Its
// root is always an absolute path, and what the store makes is open to that user alone: on Linux
// folders 0700 and files 0600; on Windows a protected DACL (nothing inherited) that grants the
// user, SYSTEM and the Administrators, as the user's own profile folders do, with the user as the
// owner. A root or a medium folder that another user owns, or that anyone else may write to
// (access.h), is never read: it could hold entries that someone else planted.
#pragma once

#include "store/core/certificate.h"
#include "store/core/platform.h"

#include "platform/SecureWipe.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ledra {

namespace fs = std::filesystem;

inline constexpr int kMediaCount = 4;
inline constexpr const char* kMarkerName = "ledra-store";
inline constexpr const char* kMarkerText = "Ledra certificate store 1\n";
inline constexpr const char* kCertFile = "cert.der";
inline constexpr const char* kKeyFile = "key.p8";
inline constexpr const char* kRecipientsFolder = "recipients";
// No entry file is larger; a bigger one is not an entry (and is never read into memory).
inline constexpr size_t kMaxEntryFileSize = 64 * 1024;

// Bytes that are wiped when they are released (keys, even encrypted ones).
using qm::WipedBytes;

// Paths as UTF-8 text and back, whatever the platform's own form: a Windows path is UTF-16, and
// a narrow string would go through the ANSI code page and lose every character it lacks.
fs::path PathFromUtf8(std::string_view text);
std::string PathText(const fs::path& path);

// The root in force: the override set by the host, else the environment's choice. Empty when
// there is none: a relative path (say, HOME unset or relative) would follow whatever folder the
// host process happens to work in, so it names no root.
fs::path StoreRoot();

// Whether the store may read a folder of its own (the root, a medium, the recipients): 0 when it
// is the user's and nobody else may write to it, or when nothing is there to read;
// err::kForeignStore when another user owns it; err::kOpenStore when others may write to it.
int32_t CheckStoreFolder(const fs::path& folder);

// As CheckStoreFolder for the root, and err::kNoStore for an empty or relative root.
int32_t CheckStoreRoot(const fs::path& root);

// Before a write: makes the root when it is missing and closes it to everyone but its user.
// Throws std::system_error (EPERM for a root that another user owns or others may write to) and
// then writes nothing.
void PrepareRootForWriting(const fs::path& root);

// Makes the folder, and any missing folder above it, open to this user alone. Throws
// std::system_error on failure.
void CreatePrivateFolders(const fs::path& folder);

// The folder of medium 0..3 under `root`, following a "mediumN.link" file when there is one.
fs::path MediumFolder(const fs::path& root, int medium);
fs::path RecipientsFolder(const fs::path& root);

// In place of a medium: the recipients' folder.
inline constexpr int kRecipients = -1;

// Opens the folder that holds the entries of medium 0..3 (or of kRecipients) for reading, once:
// the root is opened and judged, the medium's link file read from it and the folder it names
// opened (else the root's own "mediumN"), and that folder judged as it was opened. 0 with the
// folder in `out` when the store may read it; err::kNoStore without an absolute root;
// err::kNoMedium when nothing is there or it is not a folder; err::kForeignStore or
// err::kOpenStore when the root or the folder is refused (CheckStoreFolder).
int32_t OpenStoreFolder(const fs::path& root, int medium, platform::Folder& out);

// Whether a name in a store folder is work in progress (it starts with '.'), never read.
bool IsHidden(const fs::path& path);

// Reads a regular file of at most `limit` bytes. Nothing when it is missing, is not a regular
// file (a FIFO or a device would block or never end), is larger, or cannot be read.
std::optional<WipedBytes> ReadSmallFile(const fs::path& path, size_t limit = kMaxEntryFileSize);

// One entry as read from disk.
struct Entry {
    std::string id; // the folder name
    fs::path folder;
    std::vector<uint8_t> cert; // DER
    WipedBytes key;            // EncryptedPrivateKeyInfo DER; empty for recipients
    std::string subject;       // RFC 4514 text, UTF-8
    std::string issuer;
    int64_t notAfter = 0;
};

// Reads the entry of that name in an open folder; false when it is not a folder (a link is not
// followed), or a file is missing or damaged. With `withKey` the key file must be there and hold
// an EncryptedPrivateKeyInfo.
bool ReadEntry(const platform::Folder& folder, const fs::path& name, bool withKey, Entry& out);
bool ReadEntry(const fs::path& entryFolder, bool withKey, Entry& out);

// What an open folder of the store holds, in no particular order: its readable entries, and the
// names of those that cannot be read (the store skips them). Names that start with '.' are
// neither. Nothing when the folder cannot be listed.
struct FolderContents {
    std::vector<Entry> entries;
    std::vector<std::string> damaged;
};
std::optional<FolderContents> ReadFolder(const platform::Folder& folder, bool withKey);

// Every readable entry of a folder (damaged ones are skipped), in no particular order. Nothing
// when the folder does not exist.
std::optional<std::vector<Entry>> ReadEntries(const fs::path& folder, bool withKey);

// True when the bytes are one DER EncryptedPrivateKeyInfo and nothing else.
bool IsEncryptedPrivateKey(std::span<const uint8_t> der);

// Writes a private file under a temporary name in its folder, flushes it and renames it over
// `path`. Throws std::system_error on failure (leaving nothing behind).
void WriteFileAtomically(const fs::path& path, std::span<const uint8_t> bytes);

// Writes an entry folder (certificate and, for an own entry, its key) under a temporary name and
// renames it into place as <folder>/<fingerprint>. Returns the entry's id. Throws
// std::system_error on failure, with EEXIST when the certificate is already there.
std::string WriteEntry(const fs::path& folder, std::span<const uint8_t> cert,
                       std::span<const uint8_t> key);

// Takes an entry away: renamed out of sight first, then deleted.
void RemoveEntry(const fs::path& entryFolder);

} // namespace ledra
