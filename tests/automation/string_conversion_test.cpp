// The conversion rules at the automation boundary, through the platform's real converters in the
// project's code page (949); a converter that fails, through stand-ins; and, in a run of their own
// under a Unicode-only locale, Korean text in an ANSI code page of 65001 (UTF-8).
#include "automation/SecureSession.h"
#include "external/engine.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

using qmtest::Bstr;

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

    qm::UniqueBstr empty = Bstr(L"");
    qm::NarrowText emptyText(empty.get());
    EXPECT_FALSE(emptyText.IsNull());
    EXPECT_TRUE(emptyText.IsEmpty());
}

TEST(StringConversion, CharactersAfterAnEmbeddedNulAreDropped) {
    qm::UniqueBstr text = Bstr({L"ab\0cd", 5});
    ASSERT_EQ(5u, SysStringLen(text.get()));
    qm::NarrowText narrow(text.get());
    EXPECT_EQ("ab", Bytes(narrow.get()));
}

TEST(StringConversion, ACharacterTheCodePageLacksBecomesItsDefaultCharacter) {
    qm::NarrowText thai(L"a\x0E01z");
    EXPECT_EQ("a?z", Bytes(thai.get()));
}

// Stand-ins for the platform's converter, failing as a converter can.
int WINAPI RefusesToMeasure(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) {
    return 0;
}
// Measures, then runs out of room: fills all it was given, with no terminator, and fails.
int WINAPI RunsOutOfRoom(UINT, DWORD, LPCWCH, int, LPSTR narrow, int bytes, LPCCH, LPBOOL) {
    if (bytes == 0) {
        return 8;
    }
    std::memset(narrow, 'x', size_t(bytes));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
}
// Claims to have written more than it was given room for.
int WINAPI ClaimsMoreThanItWasGiven(UINT, DWORD, LPCWCH, int, LPSTR narrow, int bytes, LPCCH,
                                    LPBOOL) {
    if (bytes == 0) {
        return 4;
    }
    std::memcpy(narrow, "abc", 4);
    return 9;
}
// Claims success for a buffer it filled without a terminator.
int WINAPI LeavesNoTerminator(UINT, DWORD, LPCWCH, int, LPSTR narrow, int bytes, LPCCH, LPBOOL) {
    if (bytes == 0) {
        return 4;
    }
    std::memset(narrow, 'y', size_t(bytes));
    return bytes;
}

TEST(StringConversion, ATextTheConverterFailsOnIsEmptyAndTerminatedNeverHalfConverted) {
    qm::UniqueBstr text = Bstr(L"\xBE44\xBC00\xBC88\xD638 secret");
    for (qm::WideToNarrowConverter convert :
         {RefusesToMeasure, RunsOutOfRoom, ClaimsMoreThanItWasGiven, LeavesNoTerminator}) {
        qm::NarrowText narrow(text.get(), convert);
        EXPECT_FALSE(narrow.IsNull());
        EXPECT_TRUE(narrow.IsEmpty()) << "methods refuse it as they refuse empty input";
        EXPECT_STREQ("", narrow.get());
    }
    qm::NarrowText none(nullptr, RefusesToMeasure);
    EXPECT_TRUE(none.IsNull()) << "a null string stays null";
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

// The conversions beside the automation boundary: the dialog's headings and the registration's
// paths in the ANSI code page, the browser's host and the store's paths and environment in UTF-8.
// Each keeps its callers' rules: a character a code page lacks becomes '?', a NUL inside the text
// stays, a byte that is not UTF-8 becomes U+FFFD; and a secret's copy may be a wiped buffer.
TEST(StringConversion, EachDirectionConvertsByTheSystemsRules) {
    const struct {
        std::wstring wide;
        UINT codePage;
        std::string narrow;
    } toAnsi[] = {
        {L"홍길동", CP_ACP, "\xC8\xAB\xB1\xE6\xB5\xBF"},
        {L"caf\x00E9", 1252, "caf\xE9"},
        {L"a\x0E01z", CP_ACP, "a?z"},
        {std::wstring(L"a\0b", 3), CP_ACP, std::string("a\0b", 3)},
        {L"", CP_ACP, ""},
    };
    for (const auto& c : toAnsi) {
        EXPECT_EQ(qm::Utf16ToAnsi(c.wide, c.codePage), c.narrow) << c.narrow;
    }
    const struct {
        std::wstring wide;
        std::string utf8;
    } utf8[] = {
        {L"홍길동", "\xED\x99\x8D\xEA\xB8\xB8\xEB\x8F\x99"},
        {L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
        {L"", ""},
    };
    for (const auto& c : utf8) {
        EXPECT_EQ(qm::Utf16ToUtf8(c.wide), c.utf8) << c.utf8;
        EXPECT_EQ(qm::Utf8ToUtf16(c.utf8), c.wide) << c.utf8;
    }
    EXPECT_EQ(qm::Utf8ToUtf16("x\xC3"), L"x\xFFFD");

    qm::WipedText secret = qm::Utf16ToUtf8<qm::WipedText>(L"비밀번호");
    EXPECT_EQ(secret.view(), qm::Utf16ToUtf8(L"비밀번호"));
    EXPECT_EQ(std::string(secret.c_str()), qm::Utf16ToUtf8(L"비밀번호")) << "terminated";
    qm::Wiped<wchar_t> wide = qm::Utf8ToUtf16<qm::Wiped<wchar_t>>(secret.view());
    EXPECT_EQ(std::wstring(wide.data(), wide.size()), L"비밀번호");
}

// UTF-8 of UTF-16 text, written out by hand: what an ANSI code page of 65001 must give.
std::string Utf8(const std::wstring& text) {
    constexpr uint8_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0}; // by the number of bytes that follow
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[++i]) - 0xDC00);
        }
        int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += char(kLead[more] | c >> 6 * more);
        for (int k = more - 1; k >= 0; --k) {
            out += char(0x80 | (c >> 6 * k & 0x3F));
        }
    }
    return out;
}

// `count` Korean syllables, all different, with a space now and then as in a sentence.
std::wstring Korean(size_t count) {
    std::wstring text;
    for (size_t i = 0; i < count; ++i) {
        text += i % 9 == 8 ? L' ' : wchar_t(0xAC00 + (i * 97) % 11172);
    }
    return text;
}

// Run by its own CTest entry under a locale whose ANSI code page is 65001; the main run leaves
// these out.
TEST(StringConversionUtf8, TheProcessRunsInCodePage65001) {
    ASSERT_EQ(65001u, GetACP());
}

TEST(StringConversionUtf8, KoreanTextOfEveryLengthArrivesWholeAndTerminated) {
    // Three bytes a syllable: more than twice the characters plus 2 from two syllables on.
    std::vector<size_t> lengths(701);
    std::iota(lengths.begin(), lengths.end(), size_t(0));
    lengths.insert(lengths.end(), {1023u, 1024u, 1025u, 4095u, 4096u, 65535u, 65536u, 300001u});
    for (size_t n : lengths) {
        std::wstring text = Korean(n);
        qm::UniqueBstr bstr = Bstr({text.data(), UINT(n)});
        qm::NarrowText narrow(bstr.get());
        ASSERT_EQ(Utf8(text), Bytes(narrow.get())) << n << " syllables";
    }
}

TEST(StringConversionUtf8, TheRulesHoldInEveryCodePage) {
    qm::UniqueBstr withNul = Bstr({L"\xD55C\xAE00\0\xB4A4", 4});
    EXPECT_EQ(Utf8(L"\xD55C\xAE00"), Bytes(qm::NarrowText(withNul.get()).get()));
    EXPECT_TRUE(qm::NarrowText(nullptr).IsNull());
    // Four bytes for a character beyond the BMP, amid Korean text.
    std::wstring mixed = Korean(40) + L"\xD83D\xDE00" + Korean(40) + L"abc";
    qm::UniqueBstr bstr = Bstr(mixed.c_str());
    EXPECT_EQ(Utf8(mixed), Bytes(qm::NarrowText(bstr.get()).get()));
}

TEST(StringConversionUtf8, APagesKoreanTextReachesTheEngineWhole) {
    Standalone<SecureSession> session;
    for (size_t n : {1u, 2u, 3u, 100u, 2000u}) {
        std::wstring text = Korean(n);
        qm::UniqueBstr input = Bstr(text.c_str());
        qm::UniqueBstr result;
        ASSERT_EQ(S_OK, session.Base64Encode(input.get(), result.out()));

        std::string bytes = Utf8(text);
        ByteBuffer buffer{int32_t(bytes.size()), reinterpret_cast<uint8_t*>(bytes.data())};
        qm::EngineBlock<char> expected;
        ASSERT_EQ(0, qm::Engine().CV_Base64Encode(&buffer, expected.out()));
        std::string encoded(expected.get());
        EXPECT_EQ(std::wstring(encoded.begin(), encoded.end()), qmtest::TextOf(result.get()))
            << n << " syllables";
    }
}

} // namespace
