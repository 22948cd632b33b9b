// Which folders the store may read, decided from owners, modes and ACLs made up here: the Linux
// rule, and the Windows rule with what Wine cannot show (a group of others, a named account, an
// ACL that does not come from mode bits).
#include "store/core/access.h"

#include <gtest/gtest.h>

namespace ledra::test {
namespace {

TEST(FolderTrust, OnLinuxTheOwnerAloneMayWrite) {
    EXPECT_EQ(JudgePosixFolder(false, 1000, 0700, 1000), FolderTrust::kNotAFolder);
    EXPECT_EQ(JudgePosixFolder(true, 0, 0700, 1000), FolderTrust::kOtherOwner);
    for (uint32_t mode : {040700u, 0755u, 0711u, 0750u}) {
        EXPECT_EQ(JudgePosixFolder(true, 1000, mode, 1000), FolderTrust::kTrusted) << mode;
    }
    for (uint32_t mode : {0770u, 0720u, 0702u, 01777u}) {
        EXPECT_EQ(JudgePosixFolder(true, 1000, mode, 1000), FolderTrust::kOthersMayWrite) << mode;
    }
}

const std::string kMe = "S-1-5-21-1111-2222-3333-1001";

// What the store gives what it makes (the user, SYSTEM and the administrators, everything), with
// another owner or one more entry.
WindowsSecurity Private(std::string owner = kMe, std::vector<AccessEntry> more = {}) {
    WindowsSecurity s{owner,
                      kMe,
                      true,
                      {{true, false, 0x1f01ff, "S-1-5-18"},
                       {true, false, 0x1f01ff, "S-1-5-32-544"},
                       {true, false, 0x1f01ff, kMe}}};
    s.dacl.insert(s.dacl.end(), more.begin(), more.end());
    return s;
}

TEST(FolderTrust, OnWindowsTheOwnerIsTheUserOrTheSystemAndNobodyElseMayWrite) {
    EXPECT_TRUE(IsPrivateToUser(Private()));
    // An elevated administrator's folders belong to the administrators.
    EXPECT_EQ(JudgeWindowsFolder(Private("S-1-5-32-544")), FolderTrust::kTrusted);
    // Another account, Wine's stand-in for another Unix user (Anonymous), an unreadable owner.
    for (const char* owner : {"S-1-5-21-1111-2222-3333-1002", "S-1-5-7", ""}) {
        EXPECT_EQ(JudgeWindowsFolder(Private(owner)), FolderTrust::kOtherOwner) << owner;
    }

    // A volume without ACLs: a USB stick is the user's in hand, a fixed disk every account's.
    EXPECT_EQ(JudgeFolderWithoutAcls(true), FolderTrust::kTrusted);
    EXPECT_EQ(JudgeFolderWithoutAcls(false), FolderTrust::kOthersMayWrite);

    // Reading is not writing (what Wine shows for "other" r-x): trusted, but not private.
    WindowsSecurity readable = Private(kMe, {{true, false, 0x1200a9, "S-1-1-0"}});
    EXPECT_EQ(JudgeWindowsFolder(readable), FolderTrust::kTrusted);
    EXPECT_FALSE(IsPrivateToUser(readable));
    // Add a file or a folder, delete a child, change the DACL or the owner, generic write, and
    // Wine's "other" rwx; for Everyone, Users, Authenticated Users and an unreadable SID.
    for (uint32_t right : {0x2u, 0x4u, 0x40u, 0x40000u, 0x80000u, 0x40000000u, 0x1301ffu}) {
        for (const char* who : {"S-1-1-0", "S-1-5-32-545", "S-1-5-11", ""}) {
            EXPECT_EQ(JudgeWindowsFolder(Private(kMe, {{true, false, right, who}})),
                      FolderTrust::kOthersMayWrite)
                << who << " " << right;
        }
    }
    // CREATOR OWNER names nobody until something is made, and then its maker.
    EXPECT_EQ(JudgeWindowsFolder(Private(kMe, {{true, true, 0x1f01ff, "S-1-3-0"}})),
              FolderTrust::kTrusted);
    // What a folder passes on to what is made in it counts as much as what it grants itself:
    // whoever may change the entries made there may plant one. Everyone: (OI)(CI)(IO) full, and
    // what a folder made by hand under C:\ passes on (Authenticated Users: modify).
    for (const auto& [right, who] : {std::pair{0x1f01ffu, "S-1-1-0"},
                                     {0x1301bfu, "S-1-5-11"},
                                     {0x40000000u, "S-1-5-32-545"},
                                     {0x2u, ""}}) {
        WindowsSecurity passesOn = Private(kMe, {{true, true, right, who}});
        EXPECT_EQ(JudgeWindowsFolder(passesOn), FolderTrust::kOthersMayWrite) << who;
        EXPECT_EQ(OthersWhoMayWrite(passesOn), std::vector<std::string>{who});
    }
    // Reading what is made inside is not writing, but the folder is not private either.
    WindowsSecurity readsInside = Private(kMe, {{true, true, 0x1200a9, "S-1-5-32-545"}});
    EXPECT_EQ(JudgeWindowsFolder(readsInside), FolderTrust::kTrusted);
    EXPECT_FALSE(IsPrivateToUser(readsInside));
    // Each one who may write is named once, in the DACL's order.
    EXPECT_EQ(OthersWhoMayWrite(Private(kMe, {{true, false, 0x2, "S-1-5-11"},
                                              {true, true, 0x1f01ff, "S-1-1-0"},
                                              {true, true, 0x4, "S-1-5-11"},
                                              {false, false, 0x1f01ff, "S-1-5-32-545"}})),
              (std::vector<std::string>{"S-1-5-11", "S-1-1-0"}));
    // A deny does not undo a grant (a group could still reach whom the deny names).
    EXPECT_EQ(JudgeWindowsFolder(Private(kMe, {{false, false, 0x1f01ff, "S-1-5-32-545"},
                                               {true, false, 0x2, "S-1-5-32-545"}})),
              FolderTrust::kOthersMayWrite);
    // No ACL at all: anyone may do anything.
    WindowsSecurity noAcl = Private();
    noAcl.hasDacl = false;
    EXPECT_EQ(JudgeWindowsFolder(noAcl), FolderTrust::kOthersMayWrite);
}

} // namespace
} // namespace ledra::test
