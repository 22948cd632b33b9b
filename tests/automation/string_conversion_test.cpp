// The conversion rules at the automation boundary, through the platform's real converters in the
// project's code page (949).
#include "automation/StringConversion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Bytes(const char* text) {
    return text != nullptr ? std::string(text) : "<null>";
}

TEST(StringConversion, TheProcessRunsInCodePage949) {
    // Every Korean expectation below depends on it (LANG=ko_KR.UTF-8 in the Wine environment).
    ASSERT_EQ(949u, GetACP());
}

TEST(StringConversion, IncomingTextReachesTheLibrariesInTheAnsiCodePage) {
    qm::NarrowText korean(L"한글 abc");
    EXPECT_EQ("\xC7\xD1\xB1\xDB abc", Bytes(korean.get()));

    qm::NarrowText none(nullptr);
    EXPECT_TRUE(none.IsNull());
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_STREQ("", none.OrEmpty());

    qm::UniqueBstr empty(SysAllocString(L""));
    qm::NarrowText emptyText(empty.get());
    EXPECT_FALSE(emptyText.IsNull());
    EXPECT_TRUE(emptyText.IsEmpty());
}

TEST(StringConversion, CharactersAfterAnEmbeddedNulAreDropped) {
    qm::UniqueBstr text(SysAllocStringLen(L"ab\0cd", 5));
    ASSERT_EQ(5u, SysStringLen(text.get()));
    qm::NarrowText narrow(text.get());
    EXPECT_EQ("ab", Bytes(narrow.get()));
}

TEST(StringConversion, ACharacterTheCodePageLacksBecomesItsDefaultCharacter) {
    qm::NarrowText thai(L"a\x0E01z");
    EXPECT_EQ("a?z", Bytes(thai.get()));
}

TEST(StringConversion, OutgoingTextBecomesANewAutomationString) {
    qm::UniqueBstr korean(qm::ToAutomationString("\xC8\xAB\xB1\xE6\xB5\xBF"));
    ASSERT_NE(nullptr, korean.get());
    EXPECT_EQ(std::wstring(L"홍길동"), std::wstring(korean.get(), SysStringLen(korean.get())));

    EXPECT_EQ(nullptr, qm::ToAutomationString(nullptr));

    qm::UniqueBstr empty(qm::ToAutomationString(""));
    ASSERT_NE(nullptr, empty.get()) << "an empty text is an empty string, not a null one";
    EXPECT_EQ(0u, SysStringLen(empty.get()));
}

} // namespace
