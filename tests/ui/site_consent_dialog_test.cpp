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
#include <thread>
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

// Runs `call` on this thread while `user` acts from a second one; what `call` returned.
template <class Call> auto WithUser(const std::function<void()>& user, Call call) {
    std::thread acting(user);
    auto result = call();
    acting.join();
    return result;
}

RECT WorkArea() {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
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
// (input comes before timers), however slow the machine.
struct Stroke {
    enum Kind { Key, Down, Up, Click, Gap, Quiet } kind;
    int what = 0; // the virtual key, or the control clicked at
};

Stroke Key(WORD key) {
    return {Stroke::Key, key};
}
Stroke ClickOn(int control) {
    return {Stroke::Click, control};
}
// Longer than the system's double-click time: the next press counts again.
Stroke Quiet() {
    return {Stroke::Quiet};
}

// A click every quarter of a second for two seconds, twice the time the answers are held.
std::vector<Stroke> ClickBurst(int control) {
    std::vector<Stroke> burst;
    for (int i = 0; i < 8; ++i) {
        burst.push_back(ClickOn(control));
        burst.push_back({Stroke::Gap, 250});
    }
    return burst;
}

// Makes the strokes; false when the answers were open at any time between them.
bool Make(HWND dialog, const std::vector<Stroke>& strokes) {
    bool stayedHeld = true;
    for (const Stroke& s : strokes) {
        INPUT key{INPUT_KEYBOARD, {.ki = {WORD(s.what), 0, 0, 0, 0}}};
        switch (s.kind) {
        case Stroke::Key:
            qmtest::TypeKeys({WORD(s.what)});
            break;
        case Stroke::Up:
            key.ki.dwFlags = KEYEVENTF_KEYUP;
            [[fallthrough]];
        case Stroke::Down:
            SendInput(1, &key, sizeof(INPUT));
            break;
        case Stroke::Click:
            qmtest::ClickAt(qmtest::CentreOf(dialog, s.what));
            break;
        case Stroke::Gap:
            Sleep(DWORD(s.what));
            break;
        case Stroke::Quiet:
            Sleep(GetDoubleClickTime() + 300);
            break;
        }
        stayedHeld = stayedHeld && !AnswersOpen(dialog);
    }
    return stayedHeld;
}

TEST(SiteConsentDialog, InputMadeBeforeTheAnswersOpenOrTooSoonAnswersNothing) {
    struct Case {
        const char* what;
        bool reactivate; // the user switches to another window and back first
        std::vector<Stroke> whileHeld, whenOpen;
        ConsentAnswer expected;
    };
    const std::vector<Stroke> burst = ClickBurst(IDC_CONSENT_ALLOW);
    const Case cases[] = {
        {"keys at once",
         false,
         {Key(VK_TAB), Key(VK_RETURN), Key(VK_SPACE)},
         {Key(VK_ESCAPE)},
         ConsentAnswer::Dismissed},
        {"keys, reactivated",
         true,
         {Key(VK_TAB), Key(VK_RETURN)},
         {Key(VK_ESCAPE)},
         ConsentAnswer::Dismissed},
        {"clicks at Allow for twice the hold",
         false,
         burst,
         {Key(VK_ESCAPE)},
         ConsentAnswer::Dismissed},
        {"Space held down from before",
         false,
         {{Stroke::Down, VK_SPACE}},
         {{Stroke::Down, VK_SPACE}, {Stroke::Up, VK_SPACE}, Quiet(), Key(VK_ESCAPE)},
         ConsentAnswer::Dismissed},
        {"open: Tab and Space in one go",
         false,
         {},
         {Key(VK_TAB), Key(VK_SPACE), Quiet(), Key(VK_ESCAPE)},
         ConsentAnswer::Dismissed},
        {"open: the box and Allow in one go",
         false,
         {},
         {ClickOn(IDC_CONSENT_ALWAYS), ClickOn(IDC_CONSENT_ALLOW), Quiet(), Key(VK_ESCAPE)},
         ConsentAnswer::Dismissed},
        {"open: one Tab from Deny, a pause, Space",
         false,
         {},
         {Key(VK_TAB), Quiet(), Key(VK_SPACE)},
         ConsentAnswer::AllowOnce},
        {"open: a click at Allow",
         false,
         {},
         {ClickOn(IDC_CONSENT_ALLOW)},
         ConsentAnswer::AllowOnce},
        {"open: the box, a pause, Allow",
         false,
         {},
         {ClickOn(IDC_CONSENT_ALWAYS), Quiet(), ClickOn(IDC_CONSENT_ALLOW)},
         ConsentAnswer::AllowAlways},
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
    // Keys let go: nothing stays pressed for the tests after.
    qmtest::TypeKeys({});
}

// A page in a background tab, or in a minimised window, that calls: the dialog comes up when the
// user brings the page back, not over whatever the user is doing.
TEST(SiteConsentDialog, WaitsUntilItsOwnerIsShown) {
    enum class Then { Show, Restore, Close, Nothing };
    struct Case {
        const char* what;
        int hide; // how the owner is out of sight
        Then then;
        ConsentAnswer expected;
    };
    const Case cases[] = {
        {"hidden, then shown", SW_HIDE, Then::Show, ConsentAnswer::Dismissed},
        {"minimised, then restored", SW_MINIMIZE, Then::Restore, ConsentAnswer::Dismissed},
        {"hidden, then closed", SW_HIDE, Then::Close, ConsentAnswer::NotShown},
        {"hidden for good", SW_HIDE, Then::Nothing, ConsentAnswer::NotShown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostWindow owner(200, 150, 500, 400);
        ShowWindow(owner.get(), c.hide);
        CSiteConsentDialog dialog(L"https://background.example", owner.get(), true,
                                  CSiteConsentDialog::kAnswerDelayMs, 2500);
        bool upWhileAway = false, upWhenBack = false;
        auto shown = [] {
            HWND up = FindWindowW(L"#32770", L"사이트 허용 확인");
            return up != nullptr && IsWindowVisible(up) ? up : nullptr;
        };
        ConsentAnswer answer = WithUser(
            [&] {
                for (int i = 0; i < 20; ++i, Sleep(50)) {
                    upWhileAway = upWhileAway || shown() != nullptr;
                }
                switch (c.then) {
                case Then::Show:
                    ShowWindow(owner.get(), SW_SHOWNORMAL);
                    break;
                case Then::Restore:
                    ShowWindow(owner.get(), SW_RESTORE);
                    break;
                case Then::Close:
                    PostMessageW(owner.get(), WM_CLOSE, 0, 0);
                    break;
                case Then::Nothing:
                    break;
                }
                HWND up = nullptr;
                upWhenBack = c.then != Then::Nothing && c.then != Then::Close &&
                             Eventually([&] { return (up = shown()) != nullptr; });
                if (up != nullptr) {
                    PostMessageW(up, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                }
            },
            [&] { return dialog.Ask(); });
        EXPECT_FALSE(upWhileAway);
        EXPECT_EQ(c.expected == ConsentAnswer::Dismissed, upWhenBack);
        EXPECT_EQ(c.expected, answer);
    }
}

TEST(SiteConsentDialog, EachWayOfEndingItGivesItsAnswer) {
    struct Ending {
        const char* how;
        bool offerAlways;
        std::function<void(HWND)> act;
        ConsentAnswer expected;
    };
    auto tickThenAllow = [](HWND w) {
        uitest::ClickButton(w, IDC_CONSENT_ALWAYS);
        uitest::ClickButton(w, IDC_CONSENT_ALLOW);
    };
    const Ending endings[] = {
        {"allow always", true, tickThenAllow, ConsentAnswer::AllowAlways},
        {"allow always where it is not offered", false, tickThenAllow, ConsentAnswer::AllowOnce},
        {"ticked twice", true,
         [](HWND w) {
             uitest::ClickButton(w, IDC_CONSENT_ALWAYS);
             uitest::ClickButton(w, IDC_CONSENT_ALWAYS);
             uitest::ClickButton(w, IDC_CONSENT_ALLOW);
         },
         ConsentAnswer::AllowOnce},
        {"allow", true, [](HWND w) { uitest::ClickButton(w, IDC_CONSENT_ALLOW); },
         ConsentAnswer::AllowOnce},
        {"deny", true, [](HWND w) { uitest::ClickButton(w, IDC_CONSENT_DENY); },
         ConsentAnswer::Deny},
        {"ticked, then deny", true,
         [](HWND w) {
             uitest::ClickButton(w, IDC_CONSENT_ALWAYS);
             uitest::ClickButton(w, IDC_CONSENT_DENY);
         },
         ConsentAnswer::Deny},
        {"Enter", true, [](HWND w) { uitest::PressKey(w, VK_RETURN, IDC_CONSENT_DENY); },
         ConsentAnswer::Deny},
        {"Escape", true, [](HWND w) { uitest::PressKey(w, VK_ESCAPE, IDC_CONSENT_DENY); },
         ConsentAnswer::Dismissed},
        {"close box", true, [](HWND w) { uitest::CloseBox(w); }, ConsentAnswer::Dismissed},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.how);
        CSiteConsentDialog dialog(L"https://bank.example", nullptr, ending.offerAlways);
        uitest::Run run;
        auto script = [&](HWND w) {
            Eventually([&] { return AnswersOpen(w); });
            ending.act(w);
        };
        EXPECT_EQ(ending.expected, Answer(dialog, script, &run));
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
