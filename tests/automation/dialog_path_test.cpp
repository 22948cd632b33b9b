// GenerateEx with no DN: the certificate selection dialog runs inside the call. Driven from a
// second thread with no person, over a store double and the real engine.
#include "automation/SecureSession.h"
#include "tests/automation/fixtures.h"
#include "tests/automation/standalone.h"
#include "tests/support/bstr.h"
#include "tests/support/dialog_driver.h"

#include <gtest/gtest.h>

namespace {

using qmtest::Bstr;

const wchar_t* kCaption = L"인증서 선택(v1,0,0,1)";

struct Outcome {
    HRESULT hr;
    bool sealed;
    int code;
};

Outcome GenerateWithoutDn(const wchar_t* algorithm, void (*act)(HWND)) {
    Standalone<SecureSession> session;
    qm::UniqueBstr name = Bstr(algorithm), empty = Bstr(L""), sealed;
    HRESULT hr = qmtest::WhileDialog(
        kCaption, act, [&] { return session.GenerateEx(name.get(), empty.get(), sealed.out()); });
    return {hr, sealed.get() != nullptr && SysStringLen(sealed.get()) > 0, CodeOf(session)};
}

// What a person does with the dialog: its OK button, or Cancel.
void Choose(HWND dialog) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_CONFIRM, BN_CLICKED), 0);
}
void Cancel(HWND dialog) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

const CertInfoRecord kHong =
    qmtest::Record("cn=Hong,ou=x,o=Quillmark", "cn=Test CA,o=Quillmark", 2000000000);

class DialogPathTest : public ::testing::Test {
protected:
    qmtest::StoreDouble store = StoreWithRealRegistry();
    qmtest::ScopedStoreDouble bound{store};
};

TEST_F(DialogPathTest, AnUnknownAlgorithmFailsBeforeAnyDialog) {
    Outcome o = GenerateWithoutDn(L"NOPE", Cancel);
    EXPECT_EQ(S_FALSE, o.hr);
    EXPECT_EQ(1, o.code);
    EXPECT_EQ(0, store.Count("LD_GetCertInfo")) << "the dialog listed the store";
}

TEST_F(DialogPathTest, CancelOrTheCloseBoxGivesNoCertificateChoice) {
    store.records = {qmtest::Record("cn=Server,o=x", "cn=CA,o=x", 2000000000)};
    Outcome cancelled = GenerateWithoutDn(L"SEED", Cancel);
    EXPECT_EQ(S_FALSE, cancelled.hr);
    EXPECT_FALSE(cancelled.sealed);
    EXPECT_EQ(20, cancelled.code);
    EXPECT_EQ(1, store.Count("LD_GetCertInfo")) << "listed " << store.records.size();

    Outcome closed = GenerateWithoutDn(
        L"SEED", [](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); });
    EXPECT_EQ(S_FALSE, closed.hr);
    EXPECT_EQ(20, closed.code);
}

TEST_F(DialogPathTest, TheChosenCertificateReceivesTheSessionKey) {
    store.records = {kHong};
    store.cert.result = 0;
    store.cert.bytes = Fixture("user.der");
    Outcome chosen = GenerateWithoutDn(L"SEED", Choose);
    EXPECT_EQ(S_OK, chosen.hr);
    EXPECT_TRUE(chosen.sealed);
    EXPECT_EQ(0, chosen.code);
}

TEST_F(DialogPathTest, AChoiceTheStoreCannotDeliverIsAWrongCertificate) {
    store.records = {kHong};
    store.cert.result = -7;
    Outcome o = GenerateWithoutDn(L"SEED", Choose);
    EXPECT_EQ(S_FALSE, o.hr);
    EXPECT_EQ(6, o.code);
}

} // namespace
