// The site consent dialog as a person meets it, and where both dialogs come up: over the window
// that owns them, or in the middle of the screen.
#include "Driver.h"
#include "StoreDouble.h"
#include "tests/support/dialog_driver.h"
#include "ui/CertSelectDialog.h"
#include "ui/SiteConsentDialog.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using qmtest::HostWindow;
using uitest::RunDriven;

namespace {

std::wstring TextOf(HWND window) {
    wchar_t text[400] = {};
    GetWindowTextW(window, text, 400);
    return text;
}

// Runs the consent dialog driven by `script`; its answer.
ConsentAnswer Answer(CSiteConsentDialog& dialog, const std::function<void(HWND)>& script,
                     uitest::Run* run = nullptr) {
    uitest::Run r = RunDriven(dialog, script);
    if (run != nullptr) {
        *run = r;
    }
    return CSiteConsentDialog::AnswerOf(r.ended);
}

struct Placed {
    HWND owner = nullptr;
    RECT at{};
};

Placed PlacementOf(CDialog& dialog) {
    Placed placed;
    RunDriven(dialog, [&](HWND window) {
        placed.owner = GetWindow(window, GW_OWNER);
        GetWindowRect(window, &placed.at);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    return placed;
}

POINT Centre(const RECT& r) {
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

RECT WorkArea() {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

} // namespace

TEST(SiteConsentDialog, NamesTheOriginAndOffersThreeAnswers) {
    std::wstring caption, origin, prompt, always, once, deny;
    bool denyIsDefault = false;
    CSiteConsentDialog dialog(L"https://xn--bcher-kva.example:8443", nullptr);
    ConsentAnswer answer = Answer(dialog, [&](HWND window) {
        caption = TextOf(window);
        origin = TextOf(GetDlgItem(window, IDC_CONSENT_ORIGIN));
        always = TextOf(GetDlgItem(window, IDC_CONSENT_ALWAYS));
        once = TextOf(GetDlgItem(window, IDC_CONSENT_ONCE));
        deny = TextOf(GetDlgItem(window, IDC_CONSENT_DENY));
        denyIsDefault = (SendMessageW(GetDlgItem(window, IDC_CONSENT_DENY), WM_GETDLGCODE, 0, 0) &
                         DLGC_DEFPUSHBUTTON) != 0;
        uitest::ClickButton(window, IDC_CONSENT_DENY);
    });
    EXPECT_EQ(L"사이트 허용 확인", caption);
    EXPECT_EQ(L"https://xn--bcher-kva.example:8443", origin);
    EXPECT_EQ(L"항상 허용", always);
    EXPECT_EQ(L"이번만 허용", once);
    EXPECT_EQ(L"거부", deny);
    EXPECT_TRUE(denyIsDefault) << "Deny is the default button";
    EXPECT_EQ(ConsentAnswer::Deny, answer);
}

TEST(SiteConsentDialog, EachWayOfEndingItGivesItsAnswer) {
    const std::pair<const char*, std::pair<std::function<void(HWND)>, ConsentAnswer>> endings[] = {
        {"allow always",
         {[](HWND w) { uitest::ClickButton(w, IDC_CONSENT_ALWAYS); }, ConsentAnswer::AllowAlways}},
        {"allow once",
         {[](HWND w) { uitest::ClickButton(w, IDC_CONSENT_ONCE); }, ConsentAnswer::AllowOnce}},
        {"deny", {[](HWND w) { uitest::ClickButton(w, IDC_CONSENT_DENY); }, ConsentAnswer::Deny}},
        {"Enter",
         {[](HWND w) { uitest::PressKey(w, VK_RETURN, IDC_CONSENT_DENY); }, ConsentAnswer::Deny}},
        {"Escape",
         {[](HWND w) { uitest::PressKey(w, VK_ESCAPE, IDC_CONSENT_DENY); },
          ConsentAnswer::Dismissed}},
        {"close box", {[](HWND w) { uitest::CloseBox(w); }, ConsentAnswer::Dismissed}},
    };
    for (const auto& [how, ending] : endings) {
        SCOPED_TRACE(how);
        CSiteConsentDialog dialog(L"https://bank.example", nullptr);
        uitest::Run run;
        EXPECT_EQ(ending.second, Answer(dialog, ending.first, &run));
        EXPECT_TRUE(run.showed);
        EXPECT_FALSE(run.forced);
    }
    // An owner that is no window: the dialog cannot come up, and says so.
    CSiteConsentDialog orphan(L"https://bank.example", reinterpret_cast<HWND>(0x7777));
    EXPECT_EQ(ConsentAnswer::NotShown, orphan.Ask());
}

class DialogPlacement : public ::testing::Test {
protected:
    uitest::FakeStore store;
    uitest::ScopedStore binding{store};
};

TEST_F(DialogPlacement, AnOwnerHalfOffTheScreenCannotPushTheDialogOffIt) {
    RECT work = WorkArea();
    HostWindow host(work.right - 150, work.bottom - 100, 300, 200);
    HostWindow hidden(200, 200, 400, 300);
    ShowWindow(hidden.get(), SW_HIDE);
    CCertSelectDialog corner("", 1, CCertSelectDialog::kModeCertificates, host.get());
    Placed placed = PlacementOf(corner);
    EXPECT_EQ(host.get(), placed.owner);
    EXPECT_GE(placed.at.left, work.left);
    EXPECT_GE(placed.at.top, work.top);
    EXPECT_LE(placed.at.right, work.right);
    EXPECT_LE(placed.at.bottom, work.bottom);
    // An owner that is not shown gives no frame to centre on: the screen's is taken.
    CCertSelectDialog behind("", 1, CCertSelectDialog::kModeCertificates, hidden.get());
    placed = PlacementOf(behind);
    EXPECT_NEAR(Centre(work).x, Centre(placed.at).x, 1);
    EXPECT_NEAR(Centre(work).y, Centre(placed.at).y, 1);
}

// The picture for people, beside the selection dialog's.
TEST(Screenshot, OfTheSiteConsentDialog) {
    bool captured = false;
    CSiteConsentDialog dialog(L"https://www.bank.example:8443", nullptr);
    uitest::Run run;
    Answer(
        dialog,
        [&](HWND window) {
            RedrawWindow(window, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
            Sleep(700); // let the display catch up with the painting
            captured = uitest::CaptureWindow(window, "site-consent.bmp");
            uitest::ClickButton(window, IDC_CONSENT_DENY);
        },
        &run);
    EXPECT_TRUE(run.showed);
    EXPECT_TRUE(captured);
}
