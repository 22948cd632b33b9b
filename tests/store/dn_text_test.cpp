// The DN texts that the store hands out and compares: RFC 4514 form, then the ANSI code page.
#include "store_fixture.h"

#include "platform/OpenSslOwners.h"
#include "store/core/codepage.h"

#include <gtest/gtest.h>

#include <openssl/objects.h>

namespace ledra::test {
namespace {

using NamePtr = qm::OpenSslPtr<X509_NAME, X509_NAME_free>;

void Add(X509_NAME* name, const std::string& field, const std::string& value,
         int type = MBSTRING_UTF8, int set = 0) {
    ASSERT_EQ(X509_NAME_add_entry_by_txt(name, field.c_str(), type,
                                         reinterpret_cast<const unsigned char*>(value.data()),
                                         static_cast<int>(value.size()), -1, set),
              1);
}

// A name of these entries, in this order, each an RDN of its own.
NamePtr NameOf(const pki::NameParts& entries) {
    NamePtr name(X509_NAME_new());
    for (const auto& [field, value] : entries) {
        Add(name.get(), field, value);
    }
    return name;
}

TEST(DnText, IsMostSpecificFirstWithLowerCaseNames) {
    NamePtr n = NameOf({{"C", "KR"},
                        {"O", "Tessel Corp"},
                        {"OU", "Sales"},
                        {"CN", "Hong Gildong"},
                        {"emailAddress", "hong@example.kr"}});
    EXPECT_EQ(NameText(n.get()),
              "emailaddress=hong@example.kr,cn=Hong Gildong,ou=Sales,o=Tessel Corp,c=KR");
}

TEST(DnText, EscapesWhatWouldChangeItsMeaning) {
    NamePtr n =
        NameOf({{"O", "A, B + C; \"D\" <E> \\F"}, {"OU", "#lead and trail "}, {"CN", " x"}});
    EXPECT_EQ(NameText(n.get()), "cn=\\ x,ou=\\#lead and trail\\ ,o=A\\, B \\+ C\\; \\\"D\\\" "
                                 "\\<E\\> \\\\F");

    // A NUL inside a value would cut the narrow text short: it is spelled out instead.
    EXPECT_EQ(NameText(NameOf({{"CN", std::string("ab\0cd", 5)}}).get()), "cn=ab\\00cd");
}

TEST(DnText, JoinsMultiValuedComponentsWithPlus) {
    NamePtr n = NameOf({{"C", "KR"}, {"CN", "Kim"}});
    Add(n.get(), "UID", "kim01", MBSTRING_UTF8, -1); // same RDN as the entry before it
    EXPECT_EQ(NameText(n.get()), "cn=Kim+uid=kim01,c=KR");
}

TEST(DnText, ReadsEveryTextTypeAndNamesUnknownAttributesByNumber) {
    NamePtr n(X509_NAME_new());
    // BMPString (UTF-16) and a private attribute.
    Add(n.get(), "CN", "\xD6\x4D\xAE\x38", MBSTRING_BMP);
    Add(n.get(), "1.3.6.1.4.1.99999.9", "v", MBSTRING_ASC);
    EXPECT_EQ(NameText(n.get()), "1.3.6.1.4.1.99999.9=v,cn=홍길");
}

TEST(CodePage, ConvertsHangulAndMarksWhatTheCodePageLacks) {
    EXPECT_EQ(Utf8ToAnsi("cn=홍길동", 949, 255).text, "cn=\xC8\xAB\xB1\xE6\xB5\xBF");
    // Thai is not in code page 949; a broken UTF-8 byte is not a character.
    EXPECT_EQ(Utf8ToAnsi("a\340\270\201b\377c", 949, 255).text, "a?b?c");
    EXPECT_EQ(Utf8ToAnsi("홍", kUtf8CodePage, 255).text, "홍");
    EXPECT_EQ(Utf8ToAnsi("x\xC3", kUtf8CodePage, 255).text, "x?");
    EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9", 1252, 255).text, "caf\xE9");
    // A code page that the system does not know still carries ASCII.
    EXPECT_EQ(Utf8ToAnsi("ab홍", 1, 255).text, "ab?");
}

TEST(CodePage, CutsOnlyBetweenCharacters) {
    AnsiText t = Utf8ToAnsi("ab홍길", 949, 5);
    EXPECT_EQ(t.text, "ab\xC8\xAB");
    EXPECT_TRUE(t.cut);
    t = Utf8ToAnsi("ab홍길", kUtf8CodePage, 7);
    EXPECT_EQ(t.text, "ab홍");
    EXPECT_TRUE(t.cut);
    t = Utf8ToAnsi("ab홍길", 949, 6);
    EXPECT_FALSE(t.cut);
}

} // namespace
} // namespace ledra::test
