// getDNList's joining and filtering of a store listing, on hand-made DN areas.
#include "automation/DnList.h"
#include "platform/abi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<char> Area(std::initializer_list<std::string> dns) {
    std::vector<char> area(qm::kDnAreaSize, '\0');
    size_t slot = 0;
    for (const std::string& dn : dns) {
        dn.copy(&area[slot++ * qm::kDnSlotSize], qm::kDnSlotSize); // cut to its slot
    }
    return area;
}

std::string Join(const std::vector<char>& area, int count, const char* id) {
    return qm::JoinDnList(area.data(), count, id, qm::IsCp949LeadByte);
}

TEST(DnList, WithoutAnIdentifierEveryDnIsJoinedInStoreOrder) {
    auto area = Area({"cn=A,o=B", "cn=C,o=B", ""});
    EXPECT_EQ("cn=A,o=B|cn=C,o=B", Join(area, 2, nullptr));
    EXPECT_EQ("cn=A,o=B|cn=C,o=B", Join(area, 2, ""));
    EXPECT_EQ("cn=A,o=B|cn=C,o=B|", Join(area, 3, "")) << "empty DNs are taken too";
    EXPECT_EQ("", Join(Area({""}), 1, "")) << "a single empty DN joins to nothing";
}

TEST(DnList, TheIdentifierMatchIgnoresAsciiCaseAndNeedsTheComma) {
    auto area = Area({"CN=Hong,ou=x", "cn=hong2,ou=x", "ou=x,cn=hong", "o=y,cn=HONG,c=KR"});
    EXPECT_EQ("CN=Hong,ou=x|o=y,cn=HONG,c=KR", Join(area, 4, "Hong"));
    EXPECT_EQ("cn=hong2,ou=x", Join(area, 4, "HONG2"));
    EXPECT_EQ("", Join(area, 4, "Kim"));
    EXPECT_EQ("", Join(area, 4, "ong")) << "the pattern starts at CN=";
}

TEST(DnList, DoubleByteCharactersAreNeitherLoweredNorMatchedHalfway) {
    // 0xB0 0x41 is one character of code page 949 whose trail byte is an ASCII 'A'.
    auto area = Area({"cn=\xB0\x41,o=x", "cn=\xB0\x61,o=x", "ou=\xB0\x63N=z,o=x"});
    EXPECT_EQ("cn=\xB0\x41,o=x", Join(area, 3, "\xB0\x41"));
    EXPECT_EQ("cn=\xB0\x61,o=x", Join(area, 3, "\xB0\x61"));
    // "CN=z," appears only across a character boundary in the third DN.
    EXPECT_EQ("", Join(area, 3, "z"));
}

TEST(DnList, AnUnterminatedSlotIsCutAtTheLongestDn) {
    std::vector<char> area(qm::kDnAreaSize, 'x');
    std::string joined = Join(area, 30, "");
    EXPECT_EQ(size_t(30 * 255 + 29), joined.size()) << "30 slots of 255 and 29 separators";
    EXPECT_LT(joined.size(), size_t(qm::kDnAreaSize)) << "fits the getDNList output buffer";
}

} // namespace
