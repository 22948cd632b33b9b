// SecureSession's Base64Encode through the real engine, and the codes it leaves.
#include "automation/SecureSession.h"
#include "platform/StringConversion.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qmtest::Bstr;

struct Encoded {
    HRESULT hr;
    std::wstring text; // "<null>" for a null result
};

Encoded Encode(SecureSession& session, BSTR input) {
    BSTR result = reinterpret_cast<BSTR>(0x1);
    HRESULT hr = session.Base64Encode(input, &result);
    qm::UniqueBstr owned(result);
    return {hr, qmtest::TextOf(result)};
}

int Code(SecureSession& session) {
    INT code = -1;
    session.GetErrorCode(&code);
    return code;
}

TEST(Base64Encode, EncodesTheCodePageBytesOfTheTextWithoutATerminator) {
    Standalone<SecureSession> session;
    qm::UniqueBstr abc = Bstr(L"abc");
    Encoded r = Encode(session, abc.get());
    EXPECT_EQ(S_OK, r.hr);
    EXPECT_EQ(L"YWJj", r.text);

    qm::UniqueBstr korean = Bstr(L"홍길동");
    EXPECT_EQ(L"yKux5rW/", Encode(session, korean.get()).text) << "the CP949 bytes C8AB B1E6 B5BF";

    qm::UniqueBstr withNul = Bstr({L"ab\0cd", 5});
    EXPECT_EQ(L"YWI=", Encode(session, withNul.get()).text) << "text ends at the first NUL";
}

TEST(Base64Encode, NullOrEmptyInputFailsWithCode14AndANullResult) {
    Standalone<SecureSession> session;
    Encoded r = Encode(session, nullptr);
    EXPECT_EQ(S_FALSE, r.hr);
    EXPECT_EQ(L"<null>", r.text);
    EXPECT_EQ(14, Code(session));

    qm::UniqueBstr empty = Bstr(L"");
    EXPECT_EQ(S_FALSE, Encode(session, empty.get()).hr);
    qm::UniqueBstr onlyNul = Bstr({L"\0abc", 4});
    EXPECT_EQ(S_FALSE, Encode(session, onlyNul.get()).hr);
    EXPECT_EQ(14, Code(session));

    // The code survives later successful calls that leave it alone.
    qm::UniqueBstr abc = Bstr(L"abc");
    EXPECT_EQ(S_OK, Encode(session, abc.get()).hr);
    EXPECT_EQ(14, Code(session));
}

TEST(Base64Encode, ASuccessLeavesAnEarlierCodeInPlace) {
    Standalone<SecureSession> session;
    INT ignored = 0;
    session.RecoverFile(&ignored);
    qm::UniqueBstr abc = Bstr(L"abc");
    EXPECT_EQ(S_OK, Encode(session, abc.get()).hr);
    EXPECT_EQ(33, Code(session));
}

TEST(Base64Encode, EncodesATenMegabyteText) {
    const size_t repeats = 10 * 1024 * 1024 / 3 + 1;
    std::wstring input;
    input.reserve(repeats * 3);
    for (size_t i = 0; i < repeats; ++i) {
        input += L"abc";
    }
    qm::UniqueBstr text = Bstr(input);
    Standalone<SecureSession> session;
    Encoded r = Encode(session, text.get());
    ASSERT_EQ(S_OK, r.hr);
    ASSERT_EQ(repeats * 4, r.text.size());
    for (size_t i = 0; i < r.text.size(); i += 4) {
        ASSERT_EQ(0, r.text.compare(i, 4, L"YWJj")) << "at " << i;
    }
}

TEST(Base64Encode, ANullResultPointerIsRefused) {
    Standalone<SecureSession> session;
    qm::UniqueBstr abc = Bstr(L"abc");
    EXPECT_EQ(E_POINTER, session.Base64Encode(abc.get(), nullptr));
}

} // namespace
