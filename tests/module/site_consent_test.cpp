// The site consent dialog that a page of an unlisted site meets on its first call, driven in the
// test run's display as a person would answer it (tests/module/site_lock_fixture.h plays the
// browser).
#include "tests/module/site_lock_fixture.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace sitelock;

// Clicks an answer once the dialog lets it be reached.
void Click(HWND dialog, int button) {
    qmtest::Eventually([&] { return qmtest::AnswersOpen(dialog); });
    PostMessageW(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
}

constexpr int kAllowAlways = IDC_CONSENT_ALWAYS; // the check box that turns Allow into allow-always

// Ticks "allow always" and allows, once the dialog lets them be reached.
void AllowAlways(HWND dialog) {
    Click(dialog, kAllowAlways);
    Click(dialog, IDC_CONSENT_ALLOW);
}
constexpr auto Allow = [](HWND dialog) { Click(dialog, IDC_CONSENT_ALLOW); };
constexpr auto Deny = [](HWND dialog) { Click(dialog, IDC_CONSENT_DENY); };

// GenerateEx without a DN: the user chooses the recipient in the selection dialog.
HRESULT Choose(ISecureSession* session) {
    qm::UniqueBstr out;
    return session->GenerateEx(qmtest::Bstr(L"SEED").get(), qmtest::Bstr(L"").get(), out.out());
}

class SiteConsentTest : public SiteLockTest {
protected:
    void SetUp() override { settings.User(L"SiteLock", 2).UserSites({L"https://bank.example"}); }
    qmtest::HostWindow host{120, 90, 700, 520};
};

TEST_F(SiteConsentTest, EachButtonDoesWhatItSays) {
    // Allow always: the origin joins the user's list; later objects of the site are let in at
    // once.
    {
        FakeSite site(BrowserAt(L"https://always.example:8443/pay", host.get()));
        auto session = SessionAt(site.get());
        EXPECT_EQ(S_OK, AskSafety(session.get())) << "the question comes with the first call";
        Seen seen;
        HRESULT hr = EncodeAnswering(session, seen, AllowAlways);
        EXPECT_TRUE(seen.showed);
        EXPECT_EQ(L"https://always.example:8443", seen.origin) << "the site's origin, not the page";
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(S_OK, Encode(session.get()));
        EXPECT_EQ(
            (std::vector<std::wstring>{L"https://bank.example", L"https://always.example:8443"}),
            ScopedSiteSettings::UserSitesNow());
        auto later = SessionAt(site.get());
        EXPECT_EQ(S_OK, AskSafety(later.get()));
        EXPECT_EQ(S_OK, Encode(later.get()));
    }
    // Allow this once: for this object only; the next object of the site asks again.
    {
        FakeSite site(BrowserAt(L"https://once.example/", host.get()));
        auto session = SessionAt(site.get());
        Seen seen;
        EXPECT_EQ(S_OK, EncodeAnswering(session, seen, Allow));
        EXPECT_TRUE(seen.showed);
        Seen again;
        EXPECT_EQ(S_OK, EncodeAnswering(session, again, Deny));
        EXPECT_FALSE(again.showed) << "one answer serves the object's lifetime";
        auto next = SessionAt(site.get());
        Seen asked;
        EXPECT_EQ(S_OK, EncodeAnswering(next, asked, Allow));
        EXPECT_TRUE(asked.showed);
        EXPECT_EQ(2u, ScopedSiteSettings::UserSitesNow().size()) << "once adds nothing to the list";
    }
    // Deny: for the process's lifetime, with no new dialog.
    {
        FakeSite site(BrowserAt(L"https://deny.example/", host.get()));
        auto session = SessionAt(site.get());
        Seen seen;
        EXPECT_EQ(E_ACCESSDENIED, EncodeAnswering(session, seen, Deny));
        EXPECT_TRUE(seen.showed);
        auto next = SessionAt(site.get());
        EXPECT_EQ(E_FAIL, AskSafety(next.get()));
        Seen again;
        EXPECT_EQ(E_ACCESSDENIED, EncodeAnswering(next, again, AllowAlways));
        EXPECT_FALSE(again.showed);
    }
    // Escape: no answer; this object asks no more, the site is not remembered.
    {
        FakeSite site(BrowserAt(L"https://escape.example/", host.get()));
        auto session = SessionAt(site.get());
        Seen seen;
        EXPECT_EQ(E_ACCESSDENIED, EncodeAnswering(session, seen, Cancel));
        EXPECT_TRUE(seen.showed);
        EXPECT_EQ(E_ACCESSDENIED, Encode(session.get()));
        auto next = SessionAt(site.get());
        EXPECT_EQ(S_OK, AskSafety(next.get()));
    }
}

TEST_F(SiteConsentTest, OneDialogPerSiteAtATimeAndNoneForListedSites) {
    FakeSite site(BrowserAt(L"https://busy.example/", host.get()));
    auto first = SessionAt(site.get());
    auto second = SessionAt(site.get());
    Seen seen;
    HRESULT whileOpen = S_OK;
    HRESULT hr = WithDialog(
        kConsentCaption, seen,
        [&](HWND dialog) {
            // Another object of the same site calls while the dialog is open: refused, no
            // second dialog.
            whileOpen = Encode(second.get());
            Click(dialog, IDC_CONSENT_ALLOW);
        },
        [&] { return Encode(first.get()); });
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, seen.dialogs);
    EXPECT_EQ(E_ACCESSDENIED, whileOpen);

    // A listed site is never asked about.
    FakeSite bank(BrowserAt(L"https://bank.example/", host.get()));
    Seen none;
    EXPECT_EQ(S_OK, EncodeAnswering(SessionAt(bank.get()), none, Deny));
    EXPECT_FALSE(none.showed);

    // A policy of SiteLock 1 forbids asking, whatever the user chose.
    settings.Policy(L"SiteLock", 1);
    FakeSite other(BrowserAt(L"https://unlisted.example/", host.get()));
    auto refused = SessionAt(other.get());
    Seen forbidden;
    EXPECT_EQ(E_FAIL, AskSafety(refused.get()));
    EXPECT_EQ(E_ACCESSDENIED, EncodeAnswering(refused, forbidden, AllowAlways));
    EXPECT_FALSE(forbidden.showed);
}

TEST_F(SiteConsentTest, BothDialogsAreOwnedByTheHostsWindowAndCentredOverIt) {
    RECT hostRect{};
    GetWindowRect(host.get(), &hostRect);

    // The consent dialog, the window found through IOleWindow.
    SiteAnswers answers = BrowserAt(L"https://owned.example/");
    answers.oleWindow = host.get();
    FakeSite site(answers);
    auto session = SessionAt(site.get());
    Seen consent;
    EXPECT_EQ(S_OK, EncodeAnswering(session, consent, Allow));
    ASSERT_TRUE(consent.showed);
    EXPECT_EQ(host.get(), consent.owner);
    ExpectCentredOver(consent.at, hostRect);

    // The selection dialog of GenerateEx without a DN, the window found through the browser.
    FakeSite browser(BrowserAt(L"https://bank.example/", host.get()));
    auto choosing = SessionAt(browser.get());
    Seen select;
    EXPECT_EQ(S_FALSE,
              WithDialog(kSelectCaption, select, Cancel, [&] { return Choose(choosing.get()); }));
    ASSERT_TRUE(select.showed);
    EXPECT_EQ(host.get(), select.owner);
    ExpectCentredOver(select.at, hostRect);
    EXPECT_TRUE(IsWindowEnabled(host.get())) << "the owner is given back when the dialog ends";

    // Without a site: no owner, centred on the screen's work area.
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    auto local = Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession);
    Seen screen;
    EXPECT_EQ(S_FALSE,
              WithDialog(kSelectCaption, screen, Cancel, [&] { return Choose(local.get()); }));
    ASSERT_TRUE(screen.showed);
    EXPECT_EQ(nullptr, screen.owner);
    ExpectCentredOver(screen.at, work);
}

// Pages that any site can open and script: about:blank and data: are refused unasked; ftp: (no
// host) is asked about without "allow always", which a click cannot reach either.
TEST_F(SiteConsentTest, PagesAnySiteCanMakeAreNeverAllowedAlways) {
    for (const wchar_t* page : {L"about:blank", L"data:,hi", L"ftp://files.example/"}) {
        FakeSite site(BrowserAt(page, host.get()));
        Seen seen;
        bool alwaysShown = true;
        auto act = [&](HWND d) {
            qmtest::Eventually([&] { return qmtest::AnswersOpen(d); });
            alwaysShown = IsWindowVisible(GetDlgItem(d, kAllowAlways)) != FALSE;
            // A tick where allow-always is not offered counts for nothing: Allow is once.
            PostMessageW(d, WM_COMMAND, MAKEWPARAM(kAllowAlways, BN_CLICKED), 0);
            Click(d, IDC_CONSENT_ALLOW);
        };
        const bool ftp = page[0] == L'f';
        EXPECT_EQ(ftp ? S_OK : E_ACCESSDENIED, WithDialog(kConsentCaption, seen, act, [&] {
                      return Encode(SessionAt(site.get()).get());
                  }));
        EXPECT_EQ(ftp, seen.showed && !alwaysShown) << Printable(page);
    }
    EXPECT_EQ(1u, ScopedSiteSettings::UserSitesNow().size()) << "nothing allowed always";
}

// One run of the attack that consent_x_input_test.sh makes with input through the X server, which
// reaches Wine as a person's does: the script starts clicking (or typing) at the spot where the
// dialog will come up before the page calls, and goes on until three seconds after it came up;
// or, as a person, clicks once after a quiet second. The run and the script meet through files in
// QM_X_INPUT_DIR: the run writes "ready" (the page is up) and "shown" (the dialog is up, with the
// places of its controls); the script writes "go" (its input has begun: call), "stop" (its
// input has ended) and "end" (the quiet time after it has passed, or its click is made).
TEST_F(SiteConsentTest, UnderInputThroughTheXServer) {
    const char* dir = std::getenv("QM_X_INPUT_DIR");
    const char* modeName = std::getenv("QM_X_INPUT_MODE");
    if (dir == nullptr || modeName == nullptr) {
        GTEST_SKIP() << "one run of consent_x_input_test.sh";
    }
    const std::string mode = modeName; // calibrate, burst, once or always
    auto path = [&](const char* name) { return std::string(dir) + "\\" + name; };
    auto has = [&](const char* name) {
        return GetFileAttributesA(path(name).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    auto waitFor = [&](const char* name) {
        for (int i = 0; i < 1200 && !has(name); ++i) {
            Sleep(50);
        }
        return has(name);
    };
    qmtest::BringForward(host.get());
    std::ofstream(path("ready")).flush();
    ASSERT_TRUE(mode == "calibrate" || waitFor("go"));

    FakeSite site(BrowserAt(L"https://evil.example/", host.get()));
    auto session = SessionAt(site.get());
    bool heldThroughout = true, upAfter = false, ticked = false;
    Seen seen;
    HRESULT hr = WithDialog(
        kConsentCaption, seen,
        [&](HWND d) {
            {
                std::ofstream places(path("shown.part"));
                for (auto [name, id] :
                     {std::pair{"allow", IDC_CONSENT_ALLOW}, {"always", kAllowAlways}}) {
                    POINT at = qmtest::CentreOf(d, id);
                    places << name << ' ' << at.x << ' ' << at.y << '\n';
                }
            }
            MoveFileA(path("shown.part").c_str(), path("shown").c_str());
            if (mode == "calibrate") {
                Cancel(d);
                return;
            }
            for (int i = 0; i < 3000 && !has("stop"); ++i, Sleep(20)) {
                heldThroughout = heldThroughout && !qmtest::AnswersOpen(d);
            }
            waitFor("end");
            upAfter = IsWindowVisible(d) != FALSE;
            ticked = upAfter && IsDlgButtonChecked(d, kAllowAlways) == BST_CHECKED;
            Cancel(d);
        },
        [&] { return Encode(session.get()); });
    const std::vector<std::wstring> sites = ScopedSiteSettings::UserSitesNow();
    const bool allowedAlways = sites.size() == 2 && sites[1] == L"https://evil.example";
    std::printf("x-input run: mode=%s admitted=%d allowed-always=%d held-throughout=%d "
                "up-after=%d\n",
                mode.c_str(), hr == S_OK, allowedAlways, heldThroughout, upAfter);
    ASSERT_TRUE(seen.showed);
    if (mode == "burst" && !heldThroughout) {
        // The input paused for a second somewhere between the X server and the dialog (a loaded
        // machine), which the dialog rightly takes as quiet: the run proves nothing.
        GTEST_SKIP() << "inconclusive: the answers opened during the burst";
    }
    if (mode == "burst") {
        EXPECT_EQ(E_ACCESSDENIED, hr);
        EXPECT_TRUE(upAfter) << "nothing answered it";
        EXPECT_FALSE(ticked);
    } else if (mode != "calibrate") {
        EXPECT_EQ(S_OK, hr);
        EXPECT_FALSE(upAfter);
    }
    EXPECT_EQ(mode == "always", allowedAlways);
}

// The host lets the object go while a dialog is up, as when the page removes its element: the
// object lives to the end of the call, and a consent given for a page that is gone admits nothing.
std::atomic<IUnknown*> g_heldByHost{nullptr};

void CALLBACK HostLetsGo(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (IUnknown* object = g_heldByHost.exchange(nullptr)) {
        object->Release();
    }
}

TEST_F(SiteConsentTest, AnObjectLetGoDuringADialogLivesToTheEndOfTheCall) {
    FakeSite asked(BrowserAt(L"https://removed.example/", host.get()));
    FakeSite listed(BrowserAt(L"https://bank.example/", host.get()));
    const std::tuple<FakeSite*, const wchar_t*, HRESULT (*)(ISecureSession*), HRESULT> cases[] = {
        {&asked, kConsentCaption, [](ISecureSession* s) { return Encode(s); }, E_ACCESSDENIED},
        {&listed, kSelectCaption, Choose, S_FALSE},
    };
    for (const auto& [site, caption, call, expected] : cases) {
        ISecureSession* session = SessionAt(site->get()).release();
        g_heldByHost = session;                // the one reference, the host's
        SetTimer(nullptr, 0, 10, &HostLetsGo); // goes off in the dialog's message loop
        LONG siteRefsInDialog = 0;
        Seen seen;
        auto act = [&](HWND d) {
            qmtest::Eventually([] { return g_heldByHost.load() == nullptr; });
            siteRefsInDialog = site->counters().refs;
            caption == kSelectCaption ? Cancel(d) : Click(d, IDC_CONSENT_ALLOW);
        };
        EXPECT_EQ(expected, WithDialog(caption, seen, act, [&] { return call(session); }));
        EXPECT_EQ(2, siteRefsInDialog) << "the object, let go, still held its site";
        EXPECT_EQ(1, site->counters().refs) << "the object went when the call returned";
    }
}

} // namespace
