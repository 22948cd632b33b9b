// The site consent dialog as a person meets it, and where both dialogs come up: over the window
// that owns them, or in the middle of the screen.
#include "tests/support/store_double.h"
#include "tests/ui/driver.h"
#include "ui/CertSelectDialog.h"
#include "ui/SiteConsentDialog.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using qmtest::AnswersOpen;
using qmtest::Eventually;
using qmtest::HostWindow;
using uitest::Clicking;
using uitest::RunDriven;
using uitest::TextOf;

namespace {

// Runs the consent dialog driven by `script`; its answer.
ConsentAnswer Answer(CSiteConsentDialog& dialog, const std::function<void(HWND)>& script) {
    return CSiteConsentDialog::AnswerOf(RunDriven(dialog, script).ended);
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

} // namespace

TEST(SiteConsentDialog, NamesTheOriginAndOffersItsAnswers) {
    std::wstring caption, origin, always, allow, deny;
    bool denyIsDefault = false, ticked = true;
    std::vector<int> tabOrder; // from Deny, where the focus goes
    CSiteConsentDialog dialog(L"https://xn--bcher-kva.example:8443", nullptr, true);
    ConsentAnswer answer = Answer(dialog, [&](HWND window) {
        caption = TextOf(window);
        origin = TextOf(GetDlgItem(window, IDC_CONSENT_ORIGIN));
        always = TextOf(GetDlgItem(window, IDC_CONSENT_ALWAYS));
        allow = TextOf(GetDlgItem(window, IDC_CONSENT_ALLOW));
        deny = TextOf(GetDlgItem(window, IDC_CONSENT_DENY));
        denyIsDefault = (SendMessageW(GetDlgItem(window, IDC_CONSENT_DENY), WM_GETDLGCODE, 0, 0) &
                         DLGC_DEFPUSHBUTTON) != 0;
        ticked = IsDlgButtonChecked(window, IDC_CONSENT_ALWAYS) == BST_CHECKED;
        Eventually([&] { return AnswersOpen(window); });
        for (HWND at = GetDlgItem(window, IDC_CONSENT_DENY); tabOrder.size() < 3;
             at = GetNextDlgTabItem(window, at, FALSE)) {
            tabOrder.push_back(GetDlgCtrlID(at));
        }
        uitest::ClickButton(window, IDC_CONSENT_DENY);
    });
    EXPECT_EQ(L"사이트 허용 확인", caption);
    EXPECT_EQ(L"https://xn--bcher-kva.example:8443", origin);
    EXPECT_EQ(L"이 사이트를 항상 허용", always);
    EXPECT_EQ(L"허용", allow);
    EXPECT_EQ(L"거부", deny);
    EXPECT_TRUE(denyIsDefault) << "Deny is the default button";
    EXPECT_FALSE(ticked) << "allow-always is never where the dialog starts";
    EXPECT_EQ((std::vector<int>{IDC_CONSENT_DENY, IDC_CONSENT_ALLOW, IDC_CONSENT_ALWAYS}), tabOrder)
        << "one Tab from Deny reaches Allow, and only a second the check box";
    EXPECT_EQ(ConsentAnswer::Deny, answer);
}

// Input through the system's input queue, as a person types and clicks in a page that opened the
// dialog from its keydown handler or runs a "click here fast" game under the spot where it comes
// up. Input made while the answers are held is read before the timer that opens them can go off
// (input comes before timers), however slow the machine. One character a stroke: T Tab, R Enter,
// S Space, E Escape (each pressed and let go); v and ^ Space pressed, and let go, on their own;
// a and b a click at Allow and at the box; - a quarter of a second; . longer than the double-click
// time. False when the answers were open at any time between the strokes.
bool Make(HWND dialog, const std::string& strokes) {
    constexpr std::string_view kTyped = "TRSE";
    constexpr WORD kKeys[] = {VK_TAB, VK_RETURN, VK_SPACE, VK_ESCAPE};
    bool stayedHeld = true;
    for (char s : strokes) {
        INPUT space{INPUT_KEYBOARD, {.ki = {VK_SPACE, 0, s == '^' ? KEYEVENTF_KEYUP : 0u, 0, 0}}};
        if (size_t typed = kTyped.find(s); typed != kTyped.npos) {
            qmtest::TypeKeys({kKeys[typed]});
        } else if (s == 'v' || s == '^') {
            SendInput(1, &space, sizeof(INPUT));
        } else if (s == 'a' || s == 'b') {
            qmtest::ClickAt(
                qmtest::CentreOf(dialog, s == 'a' ? IDC_CONSENT_ALLOW : IDC_CONSENT_ALWAYS));
        } else {
            Sleep(s == '-' ? 250 : GetDoubleClickTime() + 300);
        }
        stayedHeld = stayedHeld && !AnswersOpen(dialog);
    }
    return stayedHeld;
}

TEST(SiteConsentDialog, InputMadeBeforeTheAnswersOpenOrTooSoonAnswersNothing) {
    struct Case {
        const char* what;
        bool reactivate; // the user switches to another window and back first
        std::string whileHeld, whenOpen;
        ConsentAnswer expected;
    };
    const Case cases[] = {
        {"keys at once", false, "TRS", "E", ConsentAnswer::Dismissed},
        {"keys, reactivated", true, "TR", "E", ConsentAnswer::Dismissed},
        {"clicks at Allow for twice the hold", false, "a-a-a-a-a-a-a-a-", "E",
         ConsentAnswer::Dismissed},
        {"Space held down from before", false, "v", "v^.E", ConsentAnswer::Dismissed},
        {"open: Tab and Space in one go", false, "", "TS.E", ConsentAnswer::Dismissed},
        {"open: the box and Allow in one go", false, "", "ba.E", ConsentAnswer::Dismissed},
        {"open: one Tab from Deny, a pause, Space", false, "", "T.S", ConsentAnswer::AllowOnce},
        {"open: a click at Allow", false, "", "a", ConsentAnswer::AllowOnce},
        {"open: the box, a pause, Allow", false, "", "b.a", ConsentAnswer::AllowAlways},
    };
    HostWindow other(40, 40, 300, 200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool forward = false, heldWhileMade = false;
        ConsentAnswer answer = ConsentAnswer::NotShown;
        // A driver that stalled past the hold while making the input proves nothing: the run is
        // made again.
        for (int attempt = 0; attempt < 3 && !heldWhileMade; ++attempt) {
            CSiteConsentDialog dialog(L"https://bank.example", nullptr, true);
            answer = Answer(dialog, [&](HWND window) {
                forward = qmtest::BringForward(window);
                if (c.reactivate && Eventually([&] { return AnswersOpen(window); })) {
                    forward = qmtest::BringForward(other.get()) && qmtest::BringForward(window);
                }
                bool held = Eventually([&] { return !AnswersOpen(window); });
                heldWhileMade = Make(window, c.whileHeld) && held;
                Sleep(50); // the last press reaches the dialog before it is looked at
                heldWhileMade = heldWhileMade && !AnswersOpen(window);
                Eventually([&] { return AnswersOpen(window); });
                Make(window, c.whenOpen);
            });
        }
        EXPECT_TRUE(forward) << "the input could not be sent to the dialog";
        EXPECT_TRUE(heldWhileMade);
        EXPECT_EQ(c.expected, answer);
    }
}

// A page in a background tab, or in a minimised window, that calls: the dialog comes up when the
// user brings the page back, not over whatever the user is doing.
TEST(SiteConsentDialog, WaitsUntilItsOwnerIsShown) {
    constexpr int kCloses = -1, kStaysAway = -2;
    struct Case {
        const char* what;
        int away, back; // how the owner is shown
        ConsentAnswer expected;
    };
    const Case cases[] = {
        {"hidden, then shown", SW_HIDE, SW_SHOWNORMAL, ConsentAnswer::Dismissed},
        {"minimised, then restored", SW_MINIMIZE, SW_RESTORE, ConsentAnswer::Dismissed},
        {"hidden, then closed", SW_HIDE, kCloses, ConsentAnswer::NotShown},
        {"hidden for good", SW_HIDE, kStaysAway, ConsentAnswer::NotShown},
    };
    auto shown = [] { return qmtest::detail::ShownDialog(0, L"사이트 허용 확인"); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostWindow owner(200, 150, 500, 400);
        ShowWindow(owner.get(), c.away);
        CSiteConsentDialog dialog(L"https://background.example", owner.get(), true,
                                  CSiteConsentDialog::kAnswerDelayMs, 2500);
        bool upWhileAway = false;
        auto user = [&] {
            for (int i = 0; i < 20; ++i, Sleep(50)) {
                upWhileAway = upWhileAway || shown() != nullptr;
            }
            if (c.back == kCloses) {
                PostMessageW(owner.get(), WM_CLOSE, 0, 0);
            } else if (c.back != kStaysAway) {
                ShowWindow(owner.get(), c.back);
                HWND up = nullptr;
                Eventually([&] { return (up = shown()) != nullptr; });
                PostMessageW(up, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        };
        std::thread acting(user);
        ConsentAnswer answer = dialog.Ask();
        acting.join();
        EXPECT_EQ(c.expected, answer);
        EXPECT_FALSE(upWhileAway);
    }
}

TEST(SiteConsentDialog, EachWayOfEndingItGivesItsAnswer) {
    constexpr int kBox = IDC_CONSENT_ALWAYS, kAllow = IDC_CONSENT_ALLOW, kDeny = IDC_CONSENT_DENY;
    const struct {
        const char* how;
        bool offerAlways;
        std::function<void(HWND)> act;
        ConsentAnswer expected;
    } endings[] = {
        {"allow always", true, Clicking({kBox, kAllow}), ConsentAnswer::AllowAlways},
        {"allow always where it is not offered", false, Clicking({kBox, kAllow}),
         ConsentAnswer::AllowOnce},
        {"ticked and unticked", true, Clicking({kBox, kBox, kAllow}), ConsentAnswer::AllowOnce},
        {"allow", true, Clicking({kAllow}), ConsentAnswer::AllowOnce},
        {"deny", true, Clicking({kDeny}), ConsentAnswer::Deny},
        {"ticked, then deny", true, Clicking({kBox, kDeny}), ConsentAnswer::Deny},
        {"Enter", true, [](HWND w) { uitest::PressKey(w, VK_RETURN, kDeny); }, ConsentAnswer::Deny},
        {"Escape", true, [](HWND w) { uitest::PressKey(w, VK_ESCAPE, kDeny); },
         ConsentAnswer::Dismissed},
        {"close box", true, [](HWND w) { uitest::CloseBox(w); }, ConsentAnswer::Dismissed},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.how);
        CSiteConsentDialog dialog(L"https://bank.example", nullptr, ending.offerAlways);
        uitest::Run run = RunDriven(dialog, [&](HWND w) {
            Eventually([&] { return AnswersOpen(w); });
            ending.act(w);
        });
        EXPECT_EQ(ending.expected, CSiteConsentDialog::AnswerOf(run.ended));
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
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
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
    uitest::Run run = RunDriven(dialog, [&](HWND window) {
        Eventually([&] { return AnswersOpen(window); });
        shown = TextOf(GetDlgItem(window, IDC_CONSENT_ORIGIN));
        captured = uitest::CaptureWindow(window, "site-consent.bmp");
        uitest::ClickButton(window, IDC_CONSENT_DENY);
    });
    EXPECT_TRUE(run.showed);
    EXPECT_TRUE(captured);
    EXPECT_EQ(0u, shown.rfind(L"https://\u2026", 0)) << "the start is cut";
    EXPECT_TRUE(origin.ends_with(shown.substr(9))) << "what is left ends as the host ends";
}
