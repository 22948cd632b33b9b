// The rules that turn store records into rows, without a window: which records are shown, and
// their user, issuer and date texts.
#include "tests/support/store_double.h"
#include "platform/StringConversion.h"
#include "tests/ui/driver.h"
#include "ui/CertRows.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

using qm::ui::AdmitRecord;
using qm::ui::CertRowText;
using qm::ui::CommonName;
using qm::ui::FormatExpiry;
using qmtest::Record;
using uitest::LocalNoon;

namespace {

std::string Name(std::string_view dn) {
    char text[qm::ui::kNameTextSize];
    std::memset(text, 'X', sizeof(text));
    if (!CommonName(dn, text)) {
        return "<none>";
    }
    EXPECT_EQ(text[sizeof(text) - 1], '\0');
    return text;
}

} // namespace

TEST(CertRows, CommonNameIsTheFirstLowerCaseComponentUpToItsComma) {
    EXPECT_EQ(Name("cn=Kim,ou=x,o=y"), "Kim");
    EXPECT_EQ(Name("ou=x,cn=Lee,cn=Park"), "Lee");
    EXPECT_EQ(Name("o=y,cn=Kim"), "Kim");     // no comma after it: the rest of the DN
    EXPECT_EQ(Name("cn=,ou=x"), "");          // present but empty
    EXPECT_EQ(Name("CN=Lee,ou=x"), "<none>"); // the search is case-sensitive
    EXPECT_EQ(Name("Cn=Lee,cN=Park"), "<none>");
    EXPECT_EQ(Name(""), "<none>");
}

TEST(CertRows, LongValuesAreCutToSixtyFourBytesWithinTheBuffer) {
    std::string value(200, 'v');
    EXPECT_EQ(Name("cn=" + value), std::string(64, 'v'));
    EXPECT_EQ(Name("cn=" + value + ",ou=x"), std::string(64, 'v'));
    EXPECT_EQ(Name("cn=" + std::string(64, 'w') + ",o=y"), std::string(64, 'w'));
}

TEST(CertRows, KoreanTextIsNeverCutOrMatchedInsideACharacter) {
    // 33 two-byte characters are 66 bytes: the cut falls before the 33rd, not through it.
    std::string korean = qm::Utf16ToAnsi(std::wstring(33, L'홍'));
    ASSERT_EQ(korean.size(), 66u);
    EXPECT_EQ(Name("cn=" + korean), korean.substr(0, 64));
    std::string mixed = qm::Utf16ToAnsi(L"a" + std::wstring(33, L'홍'));
    EXPECT_EQ(Name("cn=" + mixed), mixed.substr(0, 63));

    // In code page 949 the trail byte of some characters is 'c' (0x63): "<lead>cn=" holds no
    // component, and the real one further on is found.
    ASSERT_TRUE(IsDBCSLeadByte(0x81));
    EXPECT_EQ(Name("o=\x81\x63n=fake,cn=Real"), "Real");
    EXPECT_EQ(Name(qm::Utf16ToAnsi(L"cn=홍길동,ou=개발부,o=퀼마크,c=KR")),
              qm::Utf16ToAnsi(L"홍길동"));
}

TEST(CertRows, ExpiryIsTheLocalDateWithTwoDigitMonthAndDay) {
    char text[qm::ui::kDateTextSize];
    FormatExpiry(LocalNoon(2004, 3, 9), text);
    EXPECT_STREQ(text, "2004-03-09");
    FormatExpiry(LocalNoon(2031, 12, 31), text);
    EXPECT_STREQ(text, "2031-12-31");
    FormatExpiry(INT32_MAX, text); // the largest expiry the store writes: January 2038
    EXPECT_EQ(std::string(text).substr(0, 9), "2038-01-1");
    FormatExpiry(INT32_MIN, text); // before 1970: not a date the C library gives
    EXPECT_STREQ(text, qm::ui::kUnknownDate);
}

TEST(CertRows, RecordsAreAdmittedByFilterAndLowerCaseNames) {
    CertRowText row;
    CertInfoRecord kim = Record("cn=Kim,ou=x", "cn=CA1,o=y", LocalNoon(2004, 3, 9));
    ASSERT_TRUE(AdmitRecord(kim, "", row));
    EXPECT_STREQ(row.user, "Kim");
    EXPECT_STREQ(row.issuer, "CA1");
    EXPECT_STREQ(row.expiry, "2004-03-09");

    EXPECT_TRUE(AdmitRecord(kim, "cn=Kim,ou=x", row));
    EXPECT_FALSE(AdmitRecord(kim, "cn=Kim", row));      // equality, not a prefix
    EXPECT_FALSE(AdmitRecord(kim, "cn=kim,ou=x", row)); // byte for byte
    EXPECT_FALSE(AdmitRecord(kim, "cn=Kim,ou=x ", row));

    EXPECT_FALSE(AdmitRecord(Record("CN=Lee,ou=x", "cn=CA1", 0), "", row));
    EXPECT_FALSE(AdmitRecord(Record("cn=Lee,ou=x", "CN=CA1,o=y", 0), "", row));
    EXPECT_FALSE(AdmitRecord(Record("", "", 0), "", row));
}

TEST(CertRows, ASlotWithoutItsTerminatorIsNotADn) {
    CertRowText row;
    for (auto [slot, fill] :
         {std::pair{&CertInfoRecord::subjectDN, 'a'}, std::pair{&CertInfoRecord::issuerDN, 'b'}}) {
        CertInfoRecord record = Record("cn=Kim", "cn=CA1", 0);
        std::memset(record.*slot, fill, sizeof(record.*slot));
        std::memcpy(record.*slot, "cn=", 3);
        EXPECT_FALSE(AdmitRecord(record, "", row)) << fill;
    }
    // The longest DN a slot holds is still one.
    CertInfoRecord record = Record("cn=" + std::string(252, 'k'), "cn=CA1", 0);
    ASSERT_TRUE(AdmitRecord(record, "", row));
    EXPECT_EQ(std::string(row.user), std::string(64, 'k'));
}
