// The error model shared by the three classes: the message table, the code layout as the two query
// methods expose it, and codes that survive calls which leave them alone.
#include "automation/DSSession.h"
#include "automation/ErrorCodes.h"
#include "automation/SecureSession.h"
#include "automation/StringConversion.h"
#include "automation/Veyra.h"
#include "tests/automation/Standalone.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::wstring Take(BSTR text) {
    qm::UniqueBstr owned(text);
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring(L"<null>");
}

template <class T> std::wstring ErrorString(T& object) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, object.GetErrorString(&text));
    return Take(text);
}

template <class T> int ErrorCode(T& object) {
    INT code = -1;
    EXPECT_EQ(S_OK, object.GetErrorCode(&code));
    return code;
}

TEST(MessageTable, HoldsFiftyZeroFilledFieldsWithTheExactTexts) {
    static_assert(sizeof(qm::kMessageTable) == 12750);
    const char* expected[] = {"Success",
                              "Wrong Algorithm",
                              "Can not read the Private Key",
                              "Wrong Password of Private Key",
                              "Digital Signing Failure",
                              "Can not read the Certificate",
                              "Wrong Certificate",
                              "Sign Validating Failure",
                              "No Certificate",
                              "Public Key Encrypting Failure",
                              "Private Key Decrypting Failure",
                              "Symmetric Key Setting Failure",
                              "Symmetric Key Encrypting Failure",
                              "Symmetric Key Decrypting Failure",
                              "Empty Data Input",
                              "Invalid CA Certificate",
                              "Invalid CRL",
                              "Invalid ARL",
                              "No Media Choice",
                              "Invalid Certificate",
                              "No Certificate Choice",
                              "Wrong Private Key",
                              "No Private Key Choice",
                              "MAC value Generating Failure",
                              "MAC value Validating Failure",
                              "Hash value Generating Failure",
                              "Certificate Retrieving Failure",
                              "Wrong Data",
                              "CRL Retrieving Failure",
                              "File Encrypting Failure",
                              "File Decrypting Failure",
                              "There is no installed USB Key Driver",
                              "There is no Certificate matching the UID",
                              "There is no such File",
                              "Temp File Deleting Failure",
                              "Can not use the Certificate in this PC"};
    for (int i = 0; i < qm::kMessageCount; ++i) {
        std::string text = i < 36    ? expected[i]
                           : i == 48 ? "No Session"
                           : i == 49 ? "Session Manager Loading Failure"
                                     : "";
        EXPECT_STREQ(text.c_str(), qm::kMessageTable[i]) << "entry " << i;
        for (size_t b = text.size(); b < size_t(qm::kMessageFieldSize); ++b) {
            ASSERT_EQ(0, qm::kMessageTable[i][b]) << "entry " << i << " byte " << b;
        }
    }
}

TEST(ErrorText, ChoosesTheEntryByTheLowTwelveBitsAndNeverReadsPastTheTable) {
    qm::ErrorText text;
    text.SetCode(qm::code::kGenerateNoChoice);
    EXPECT_STREQ("No Certificate Choice", text.GetText());
    text.SetCode(0xF4100024); // index 36: an empty entry
    EXPECT_STREQ("", text.GetText());
    text.SetCode(0xFFFFFFFE); // a raw -2 left in a code: index 4094
    EXPECT_STREQ("", text.GetText());
    text.SetCode(50);
    EXPECT_STREQ("", text.GetText());
}

TEST(QueryMethods, AFreshObjectOfEachClassReportsSuccess) {
    Standalone<SecureSession> session;
    Standalone<Veyra> veyra;
    Standalone<DSSession> ds;
    EXPECT_EQ(0, ErrorCode(session));
    EXPECT_EQ(L"Success", ErrorString(session));
    EXPECT_EQ(0, ErrorCode(veyra));
    EXPECT_EQ(L"Success", ErrorString(veyra));
    EXPECT_EQ(0, ErrorCode(ds));
    EXPECT_EQ(L"Success", ErrorString(ds));
}

TEST(QueryMethods, RecoverFileAlwaysFailsAndTheQueriesLeaveItsCodeInPlace) {
    Standalone<SecureSession> session;
    INT result = 0;
    EXPECT_EQ(S_FALSE, session.RecoverFile(&result));
    EXPECT_EQ(-200171487, result);
    for (int repeat = 0; repeat < 2; ++repeat) {
        EXPECT_EQ(33, ErrorCode(session));
        EXPECT_EQ(L"There is no such File", ErrorString(session));
    }
    EXPECT_EQ(S_FALSE, session.RecoverFile(nullptr)) << "a null result pointer is not written";
}

TEST(QueryMethods, MethodsThatDoNoWorkLeaveTheCodeAndTheirResultsAlone) {
    Standalone<SecureSession> session;
    INT result = 0;
    session.RecoverFile(&result);

    result = 1234;
    EXPECT_EQ(S_OK, session.DecipherFile(nullptr, nullptr, nullptr, nullptr, &result));
    EXPECT_EQ(S_OK, session.EncipherFile(nullptr, nullptr, &result));
    EXPECT_EQ(1234, result);
    EXPECT_EQ(33, ErrorCode(session));

    Standalone<Veyra> veyra;
    BSTR untouched = reinterpret_cast<BSTR>(0x1234);
    EXPECT_EQ(S_OK, veyra.GetCertNum(nullptr, &untouched));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x1234), untouched);

    Standalone<DSSession> ds;
    EXPECT_EQ(S_OK, ds.RetrieveCRL(nullptr, &untouched));
    EXPECT_EQ(S_OK, ds.RetrieveCRLFromLDAP(nullptr, 389, nullptr, &untouched));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x1234), untouched);
    EXPECT_EQ(0, ErrorCode(ds));
}

TEST(QueryMethods, NullResultPointersAreRefused) {
    Standalone<SecureSession> session;
    EXPECT_EQ(E_POINTER, session.GetErrorCode(nullptr));
    EXPECT_EQ(E_POINTER, session.GetErrorString(nullptr));
}

} // namespace
