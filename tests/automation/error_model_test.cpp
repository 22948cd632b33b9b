// The error model shared by the three classes: the message table, the code layout as the two query
// methods expose it, and codes that survive calls which leave them alone.
#include "automation/DSSession.h"
#include "automation/ErrorCodes.h"
#include "automation/SecureSession.h"
#include "automation/Veyra.h"
#include "platform/StringConversion.h"
#include "tests/automation/fixtures.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"
#include "tests/support/fake_site.h"
#include "tests/support/site_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using qmtest::Bstr;

std::wstring Take(BSTR text) {
    qm::UniqueBstr owned(text);
    return qmtest::TextOf(text);
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
    // Every entry, separated by '|': 36 to 47 are empty.
    std::istringstream texts(
        "Success|Wrong Algorithm|Can not read the Private Key|Wrong Password of Private Key|"
        "Digital Signing Failure|Can not read the Certificate|Wrong Certificate|"
        "Sign Validating Failure|No Certificate|Public Key Encrypting Failure|"
        "Private Key Decrypting Failure|Symmetric Key Setting Failure|"
        "Symmetric Key Encrypting Failure|Symmetric Key Decrypting Failure|Empty Data Input|"
        "Invalid CA Certificate|Invalid CRL|Invalid ARL|No Media Choice|Invalid Certificate|"
        "No Certificate Choice|Wrong Private Key|No Private Key Choice|"
        "MAC value Generating Failure|MAC value Validating Failure|Hash value Generating Failure|"
        "Certificate Retrieving Failure|Wrong Data|CRL Retrieving Failure|"
        "File Encrypting Failure|File Decrypting Failure|There is no installed USB Key Driver|"
        "There is no Certificate matching the UID|There is no such File|"
        "Temp File Deleting Failure|Can not use the Certificate in this PC|||||||||||||"
        "No Session|Session Manager Loading Failure");
    std::vector<std::string> expected;
    for (std::string text; std::getline(texts, text, '|');) {
        expected.push_back(text);
    }
    ASSERT_EQ(size_t(qm::kMessageCount), expected.size());
    for (int i = 0; i < qm::kMessageCount; ++i) {
        const std::string& text = expected[size_t(i)];
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
    // Past the table: the two libraries' loading failures, and then nothing.
    text.SetCode(qm::MakeCode(qm::origin::kBase64Encode, qm::kEngineMissingIndex));
    EXPECT_STREQ("Crypto Library Loading Failure", text.GetText());
    text.SetCode(51);
    EXPECT_STREQ("Certificate Store Loading Failure", text.GetText());
    text.SetCode(52);
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

// A call the site lock refuses returns before it converts an argument: no store call, no registry
// value, no dialog, no result written but a string result's null, and the code stays as it was.
TEST(SiteLock, ARefusedCallTouchesNothingAndLeavesTheCode) {
    qmtest::ScopedSiteSettings settings;
    settings.User(L"SiteLock", 1).UserSites({L"https://bank.example"});
    qmtest::FakeSite bank(qmtest::BrowserAt(L"https://bank.example/"));
    qmtest::FakeSite evil(qmtest::BrowserAt(L"https://evil.example/"));
    qmtest::StoreDouble store = StoreWithRealRegistry();
    store.dns = {"cn=Hong,ou=x"};
    qmtest::ScopedStoreDouble bound(store);

    Standalone<SecureSession> session;
    Standalone<Veyra> veyra;
    Standalone<DSSession> ds;
    INT ignored = 0;
    BSTR none = nullptr;
    session.Base64Encode(nullptr, &none);                                  // 14
    veyra.getDNList(nullptr, 9, 700, &none);                               // 18
    ds.GeneralValidation(nullptr, nullptr, nullptr, nullptr, 9, &ignored); // 14
    const size_t touchedBefore = store.calls.size();
    auto visit = [&](IUnknown* site) {
        session.OnSiteChanged(site);
        veyra.OnSiteChanged(site);
        ds.OnSiteChanged(site);
    };
    visit(evil.get());

    // A dialog would block the call: the watch records and cancels any that comes up.
    std::atomic<bool> done{false};
    std::atomic<int> dialogs{0};
    std::thread watch([&] {
        while (!done) {
            if (HWND dialog = FindWindowW(L"#32770", nullptr); dialog && IsWindowVisible(dialog)) {
                ++dialogs;
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
            Sleep(20);
        }
    });
    qm::UniqueBstr xText = Bstr(L"x"), emptyText = Bstr(L"");
    BSTR x = xText.get(), empty = emptyText.get();
    const std::tuple<const char*, std::function<HRESULT(BSTR*, INT*)>, bool> calls[] = {
        {"Base64Encode", [&](BSTR* s, INT*) { return session.Base64Encode(x, s); }, true},
        {"DecipherEx", [&](BSTR* s, INT*) { return session.DecipherEx(x, s); }, true},
        {"DecipherFile", [&](BSTR*, INT* i) { return session.DecipherFile(x, x, x, x, i); }, false},
        {"EncipherEx", [&](BSTR* s, INT*) { return session.EncipherEx(x, s); }, true},
        {"EncipherFile", [&](BSTR*, INT* i) { return session.EncipherFile(x, x, i); }, false},
        {"GenerateEx", [&](BSTR* s, INT*) { return session.GenerateEx(x, empty, s); }, true},
        {"GetErrorCode", [&](BSTR*, INT* i) { return session.GetErrorCode(i); }, false},
        {"GetErrorString", [&](BSTR* s, INT*) { return session.GetErrorString(s); }, true},
        {"getKEYIV", [&](BSTR* s, INT*) { return session.getKEYIV(s); }, true},
        {"RecoverFile", [&](BSTR*, INT* i) { return session.RecoverFile(i); }, false},
        {"Veyra.GetErrorCode", [&](BSTR*, INT* i) { return veyra.GetErrorCode(i); }, false},
        {"Veyra.GetErrorString", [&](BSTR* s, INT*) { return veyra.GetErrorString(s); }, true},
        {"GetCertNum", [&](BSTR* s, INT*) { return veyra.GetCertNum(x, s); }, false},
        {"getDNList", [&](BSTR* s, INT*) { return veyra.getDNList(empty, 0, 700, s); }, true},
        {"getCert", [&](BSTR* s, INT*) { return veyra.getCert(x, x, s); }, true},
        {"GeneralValidation", [&](BSTR*, INT* i) { return ds.GeneralValidation(x, x, x, x, 0, i); },
         false},
        {"DSSession.GetErrorCode", [&](BSTR*, INT* i) { return ds.GetErrorCode(i); }, false},
        {"DSSession.GetErrorString", [&](BSTR* s, INT*) { return ds.GetErrorString(s); }, true},
        {"RetrieveCRL", [&](BSTR* s, INT*) { return ds.RetrieveCRL(x, s); }, false},
        {"RetrieveCRLFromLDAP", [&](BSTR* s, INT*) { return ds.RetrieveCRLFromLDAP(x, 389, x, s); },
         false},
    };
    const BSTR untouched = reinterpret_cast<BSTR>(0x1234);
    for (const auto& [method, run, nullsItsString] : calls) {
        SCOPED_TRACE(method);
        BSTR text = untouched;
        INT number = 4321;
        EXPECT_EQ(E_ACCESSDENIED, run(&text, &number));
        EXPECT_EQ(nullsItsString ? nullptr : untouched, text);
        EXPECT_EQ(4321, number);
    }
    done = true;
    watch.join();
    EXPECT_EQ(0, dialogs.load());
    EXPECT_EQ(touchedBefore, store.calls.size());

    // Given a listed site, the objects report the codes they had before the refused calls.
    visit(bank.get());
    EXPECT_EQ(14, ErrorCode(session));
    EXPECT_EQ(18, ErrorCode(veyra));
    EXPECT_EQ(14, ErrorCode(ds));
    visit(nullptr);
}

TEST(QueryMethods, NullResultPointersAreRefused) {
    Standalone<SecureSession> session;
    EXPECT_EQ(E_POINTER, session.GetErrorCode(nullptr));
    EXPECT_EQ(E_POINTER, session.GetErrorString(nullptr));
}

} // namespace
