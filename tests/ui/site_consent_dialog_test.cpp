// The site consent dialog as a person meets it, and where both dialogs come up: over the window
// that owns them, or in the middle of the screen.
#include "tests/support/dialog_driver.h"
#include "tests/support/store_double.h"
#include "tests/ui/driver.h"
#include "ui/CertSelectDialog.h"
#include "ui/SiteConsentDialog.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using qmtest::AnswersOpen;
using qmtest::Eventually;
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
    CSiteConsentDialog dialog(L"https://xn--bcher-kva.example:8443", nullptr, true);
    ConsentAnswer answer = Answer(dialog, [&](HWND window) {
        caption = TextOf(window);
        origin = TextOf(GetDlgItem(window, IDC_CONSENT_ORIGIN));
        always = TextOf(GetDlgItem(window, IDC_CONSENT_ALWAYS));
        once = TextOf(GetDlgItem(window, IDC_CONSENT_ONCE));
        deny = TextOf(GetDlgItem(window, IDC_CONSENT_DENY));
        denyIsDefault = (SendMessageW(GetDlgItem(window, IDC_CONSENT_DENY), WM_GETDLGCODE, 0, 0) &
                         DLGC_DEFPUSHBUTTON) != 0;
        Eventually([&] { return AnswersOpen(window); });
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

// Keys typed through the system's input queue, as a person types into a page's login form that
// opened the dialog from its keydown handler. Keys typed while the answers are held are read before
// the timer that opens them can go off (input comes before timers), however slow the machine.
TEST(SiteConsentDialog, KeysTypedBeforeTheAnswersOpenAnswerNothing) {
    struct Case {
        const char* what;
        bool reactivate; // the user switches to another window and back before typing
        std::vector<WORD> whileHeld, whenOpen;
        ConsentAnswer expected;
    };
    const Case cases[] = {
        {"at once", false, {VK_TAB, VK_RETURN, VK_SPACE}, {VK_ESCAPE}, ConsentAnswer::Dismissed},
        {"reactivated", true, {VK_TAB, VK_RETURN}, {VK_ESCAPE}, ConsentAnswer::Dismissed},
        {"open: one Tab from Deny", false, {}, {VK_TAB, VK_SPACE}, ConsentAnswer::AllowOnce},
    };
    HostWindow other(40, 40, 300, 200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool forward = false, heldWhileTyped = false;
        ConsentAnswer answer = ConsentAnswer::NotShown;
        // A driver that stalled past the delay before typing proves nothing: the run is redone.
        for (int attempt = 0; attempt < 3 && !heldWhileTyped; ++attempt) {
            CSiteConsentDialog dialog(L"https://bank.example", nullptr, true);
            answer = Answer(dialog, [&](HWND window) {
                forward = qmtest::BringForward(window);
                if (c.reactivate && Eventually([&] { return AnswersOpen(window); })) {
                    forward = qmtest::BringForward(other.get()) && qmtest::BringForward(window);
                }
                bool held = Eventually([&] { return !AnswersOpen(window); });
                qmtest::TypeKeys(c.whileHeld);
                heldWhileTyped = c.whileHeld.empty() || (held && !AnswersOpen(window));
                Eventually([&] { return AnswersOpen(window); });
                qmtest::TypeKeys(c.whenOpen);
            });
        }
        EXPECT_TRUE(forward) << "the keys could not be sent to the dialog";
        EXPECT_TRUE(heldWhileTyped);
        EXPECT_EQ(c.expected, answer);
    }
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
        CSiteConsentDialog dialog(L"https://bank.example", nullptr, true);
        uitest::Run run;
        auto script = [&](HWND w) {
            Eventually([&] { return AnswersOpen(w); });
            ending.first(w);
        };
        EXPECT_EQ(ending.second, Answer(dialog, script, &run));
        EXPECT_TRUE(run.showed);
        EXPECT_FALSE(run.forced);
    }
    // An owner that is no window: the dialog cannot come up, and says so.
    CSiteConsentDialog orphan(L"https://bank.example", reinterpret_cast<HWND>(0x7777), true);
    EXPECT_EQ(ConsentAnswer::NotShown, orphan.Ask());
}

class DialogPlacement : public ::testing::Test {
protected:
    qmtest::StoreDouble store;
    qmtest::ScopedStoreDouble binding{store};
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

// The picture for people, beside the selection dialog's: with a host too long for its box, cut from
// the left so that its end, which names its owner, stays in view.
TEST(Screenshot, OfTheSiteConsentDialog) {
    bool captured = false;
    const std::wstring origin =
        L"https://bank.example.secure-login-0123456789-0123456789-0123456789.check.evil.example";
    std::wstring shown;
    CSiteConsentDialog dialog(origin, nullptr, true);
    uitest::Run run;
    Answer(
        dialog,
        [&](HWND window) {
            Eventually([&] { return AnswersOpen(window); });
            shown = TextOf(GetDlgItem(window, IDC_CONSENT_ORIGIN));
            RedrawWindow(window, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
            Sleep(700); // let the display catch up with the painting
            captured = uitest::CaptureWindow(window, "site-consent.bmp");
            uitest::ClickButton(window, IDC_CONSENT_DENY);
        },
        &run);
    EXPECT_TRUE(run.showed);
    EXPECT_TRUE(captured);
    EXPECT_EQ(0u, shown.rfind(L"https://\u2026", 0)) << "the start is cut";
    EXPECT_TRUE(origin.ends_with(shown.substr(9))) << "what is left ends as the host ends";
}
