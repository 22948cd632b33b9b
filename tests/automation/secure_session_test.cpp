// SecureSession's Base64Encode through the real engine, and the codes it leaves.
#include "automation/SecureSession.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"

#include <gtest/gtest.h>

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

Encoded EncodeText(SecureSession& session, std::wstring_view input) {
    return Encode(session, Bstr(input).get());
}

TEST(Base64Encode, EncodesTheCodePageBytesOfTheTextWithoutATerminator) {
    Standalone<SecureSession> session;
    Encoded r = EncodeText(session, L"abc");
    EXPECT_EQ(S_OK, r.hr);
    EXPECT_EQ(L"YWJj", r.text);
    EXPECT_EQ(L"yKux5rW/", EncodeText(session, L"홍길동").text) << "the CP949 bytes C8AB B1E6 B5BF";
    EXPECT_EQ(L"YWI=", EncodeText(session, {L"ab\0cd", 5}).text) << "text ends at the first NUL";
}

TEST(Base64Encode, NullOrEmptyInputFailsWithCode14AndANullResult) {
    Standalone<SecureSession> session;
    Encoded r = Encode(session, nullptr);
    EXPECT_EQ(S_FALSE, r.hr);
    EXPECT_EQ(L"<null>", r.text);
    EXPECT_EQ(14, CodeOf(session));

    EXPECT_EQ(S_FALSE, EncodeText(session, L"").hr);
    EXPECT_EQ(S_FALSE, EncodeText(session, {L"\0abc", 4}).hr);
    EXPECT_EQ(14, CodeOf(session));

    // The code survives later successful calls that leave it alone.
    EXPECT_EQ(S_OK, EncodeText(session, L"abc").hr);
    EXPECT_EQ(14, CodeOf(session));
}

TEST(Base64Encode, ASuccessLeavesAnEarlierCodeInPlace) {
    Standalone<SecureSession> session;
    INT ignored = 0;
    session.RecoverFile(&ignored);
    EXPECT_EQ(S_OK, EncodeText(session, L"abc").hr);
    EXPECT_EQ(33, CodeOf(session));
}

TEST(Base64Encode, EncodesATenMegabyteText) {
    const size_t repeats = 10 * 1024 * 1024 / 3 + 1;
    std::wstring input;
    input.reserve(repeats * 3);
    for (size_t i = 0; i < repeats; ++i) {
        input += L"abc";
    }
    Standalone<SecureSession> session;
    Encoded r = EncodeText(session, input);
    ASSERT_EQ(S_OK, r.hr);
    ASSERT_EQ(repeats * 4, r.text.size());
    for (size_t i = 0; i < r.text.size(); i += 4) {
        ASSERT_EQ(0, r.text.compare(i, 4, L"YWJj")) << "at " << i;
    }
}

TEST(Base64Encode, ANullResultPointerIsRefused) {
    Standalone<SecureSession> session;
    EXPECT_EQ(E_POINTER, session.Base64Encode(Bstr(L"abc").get(), nullptr));
}

} // namespace
