// Whether the store may read a folder (its root or a medium), decided from what the platform
// reports of the folder: its owner, and who besides the owner may write to it. The decisions are
// plain functions, so that the rules of both platforms are checked natively with made-up owners,
// modes and ACLs, including the ones that Wine cannot show.
//
// Whoever may add to a folder of the store may plant an entry in it: someone's certificate beside
// the planter's own key, or a recipient's certificate that seals the user's session keys to the
// planter. So a folder is read only when it belongs to the user (or the system) and nobody else
// may write to it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ledra {

enum class FolderTrust {
    kMissing,        // nothing there: nothing to read
    kNotAFolder,     // nothing to list either
    kTrusted,        // the user's, and nobody else may write to it
    kOtherOwner,     // another user owns it (or its owner cannot be read)
    kOthersMayWrite, // someone besides the user and the system may add to it or change it
};

// POSIX: the owner must be the user; neither the group (which may hold others) nor everyone
// else may write.
FolderTrust JudgePosixFolder(bool isFolder, uint32_t ownerUid, uint32_t mode, uint32_t userUid);

// Whom Windows trusts beside the user with every folder: SYSTEM and the Administrators.
inline constexpr std::string_view kSystemSid = "S-1-5-18";
inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";

// One entry of a Windows DACL, with its SID in text form ("S-1-5-18").
struct AccessEntry {
    bool allows = true;       // false: a denying entry, which can only take rights away
    bool inheritOnly = false; // it applies to what is made inside, not to the folder itself
    uint32_t mask = 0;
    std::string sid; // empty when it cannot be read
};

struct WindowsSecurity {
    std::string owner;   // the folder's owner
    std::string user;    // the user of this process (the token's user, not its default owner)
    bool hasDacl = true; // false: a NULL DACL (no ACL at all, as on FAT), which lets anyone write
    std::vector<AccessEntry> dacl;
};

// Windows: the owner must be the user, the system or the administrators; no entry may grant
// anyone else a right that adds to the folder, removes from it or changes who may, whether on the
// folder itself or on what is made in it (an inherit-only grant: "Everyone: (OI)(CI)(IO) full"
// lets everyone change every entry made there, and whoever may change an entry may plant one).
// Denying entries are not weighed against granting ones (a group's grant could still reach
// someone whom a deny names): a grant to anyone else refuses the folder.
FolderTrust JudgeWindowsFolder(const WindowsSecurity& security);

// Whom the DACL grants such a right besides the user, the system and the administrators: their
// SIDs, each once, in the DACL's order (an empty one for a SID that cannot be read). Empty for a
// NULL DACL, which names nobody and lets everyone.
std::vector<std::string> OthersWhoMayWrite(const WindowsSecurity& security);

// A folder on a volume that keeps no ACLs at all (FAT, exFAT): anyone who can reach the volume
// may write to it. A removable one (a USB stick, where users carry their certificates) is the
// user's in hand, and nothing on it could ever be closed to others, so its media are read; on a
// fixed disk such a folder is open to every account of the machine and is refused.
FolderTrust JudgeFolderWithoutAcls(bool onRemovableDrive);

// Whether the folder already grants nobody but the user, the system and the administrators any
// right at all, as the store's own folders do.
bool IsPrivateToUser(const WindowsSecurity& security);

} // namespace ledra
