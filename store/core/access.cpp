#include "store/core/access.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace ledra {
namespace {

constexpr uint32_t kGroupWrite = 0020;
constexpr uint32_t kOtherWrite = 0002;

// The rights of a folder's entry that let their holder put something into the folder, take
// something out, or give themselves more: add a file or a folder, delete a child, delete or
// rename the folder, change its DACL or its owner, and the generic rights that hold these.
constexpr uint32_t kAddFile = 0x2;
constexpr uint32_t kAddSubfolder = 0x4;
constexpr uint32_t kDeleteChild = 0x40;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kWriteOwner = 0x80000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kWriteRights = kAddFile | kAddSubfolder | kDeleteChild | kDelete | kWriteDac |
                                  kWriteOwner | kGenericAll | kGenericWrite;

// Placeholders that name nobody of their own: CREATOR OWNER only shapes what is made inside,
// OWNER RIGHTS is the owner, already checked to be trusted.
constexpr std::array<std::string_view, 2> kPlaceholders = {"S-1-3-0", "S-1-3-4"};

bool IsTrustedOwner(const WindowsSecurity& s, std::string_view sid) {
    return !sid.empty() && (sid == s.user || sid == kSystemSid || sid == kAdministratorsSid);
}

// Whether the entry gives someone besides the user and the system any of the rights in `mask`,
// on the folder or on what is made in it.
bool GrantsOthers(const WindowsSecurity& s, const AccessEntry& entry, uint32_t mask) {
    if (!entry.allows || (entry.mask & mask) == 0) {
        return false;
    }
    return !IsTrustedOwner(s, entry.sid) &&
           std::find(kPlaceholders.begin(), kPlaceholders.end(), entry.sid) == kPlaceholders.end();
}

} // namespace

FolderTrust JudgePosixFolder(bool isFolder, uint32_t ownerUid, uint32_t mode, uint32_t userUid) {
    if (!isFolder) {
        return FolderTrust::kNotAFolder;
    }
    if (ownerUid != userUid) {
        return FolderTrust::kOtherOwner;
    }
    return (mode & (kGroupWrite | kOtherWrite)) != 0 ? FolderTrust::kOthersMayWrite
                                                     : FolderTrust::kTrusted;
}

FolderTrust JudgeWindowsFolder(const WindowsSecurity& security) {
    if (security.user.empty() || !IsTrustedOwner(security, security.owner)) {
        return FolderTrust::kOtherOwner;
    }
    if (!security.hasDacl || !OthersWhoMayWrite(security).empty()) {
        return FolderTrust::kOthersMayWrite;
    }
    return FolderTrust::kTrusted;
}

std::vector<std::string> OthersWhoMayWrite(const WindowsSecurity& security) {
    std::vector<std::string> others;
    for (const AccessEntry& entry : security.dacl) {
        if (GrantsOthers(security, entry, kWriteRights) &&
            std::find(others.begin(), others.end(), entry.sid) == others.end()) {
            others.push_back(entry.sid);
        }
    }
    return others;
}

FolderTrust JudgeFolderWithoutAcls(bool onRemovableDrive) {
    return onRemovableDrive ? FolderTrust::kTrusted : FolderTrust::kOthersMayWrite;
}

bool IsPrivateToUser(const WindowsSecurity& security) {
    if (JudgeWindowsFolder(security) != FolderTrust::kTrusted) {
        return false;
    }
    return std::none_of(security.dacl.begin(), security.dacl.end(), [&](const AccessEntry& e) {
        return GrantsOthers(security, e, ~uint32_t{0});
    });
}

} // namespace ledra
