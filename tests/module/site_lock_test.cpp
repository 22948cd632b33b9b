// The site lock: which pages may drive the objects under which settings, and the sessions that
// each site keeps (tests/module/site_lock_fixture.h plays the browser).
#include "tests/module/built_module.h"
#include "tests/module/site_lock_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace sitelock;

// AllowedSites as a row names it: one entry, or a braced list of any number.
struct Sites : std::vector<std::wstring> {
    Sites(const wchar_t* entry) : vector{entry} {}
    Sites(std::initializer_list<std::wstring> entries = {}) : vector(entries) {}
};

// Every row: the user's AllowedSites under SiteLock 1, the page's address, and whether the page
// may drive the object. The verdicts are printed as a table.
struct AddressCase {
    const char* what;
    Sites allowed;
    std::wstring address;
    bool admitted;
};

const AddressCase kAddressMatrix[] = {
    {"exact", L"https://bank.example", L"https://bank.example/", true},
    {"path, query, fragment", L"https://bank.example", L"https://bank.example/a/b?c=d#e", true},
    {"other scheme", L"https://bank.example", L"http://bank.example/", false},
    {"subdomain of an exact entry", L"https://bank.example", L"https://www.bank.example/", false},
    {"entry with a path", L"https://bank.example/app/", L"https://bank.example/other", true},
    {"default port named", L"https://bank.example", L"https://bank.example:443/", true},
    {"other port", L"https://bank.example", L"https://bank.example:8443/", false},
    {"listed port", L"https://bank.example:8443", L"https://bank.example:8443/x", true},
    {"listed port, page on default", L"https://bank.example:8443", L"https://bank.example/", false},
    {"http default port", L"http://bank.example:80", L"http://bank.example/", true},
    {"case", L"HTTPS://Bank.EXAMPLE", L"https://BANK.example/", true},
    {"wildcard, subdomain", L"https://*.bank.example", L"https://www.bank.example/", true},
    {"wildcard, deeper", L"https://*.bank.example", L"https://a.b.bank.example/", true},
    {"wildcard, the name itself", L"https://*.bank.example", L"https://bank.example/", false},
    {"wildcard, name ending alike", L"https://*.bank.example", L"https://evilbank.example/", false},
    {"wildcard, suffix trick", L"https://*.bank.example", L"https://bank.example.evil.example/",
     false},
    {"wildcard, other port", L"https://*.bank.example:8443", L"https://www.bank.example/", false},
    {"IDN entry, ASCII page", L"https://b\u00fccher.example", L"https://xn--bcher-kva.example/",
     true},
    {"ASCII entry, IDN page", L"https://xn--bcher-kva.example", L"https://B\u00dcCHER.example/",
     true},
    {"IDN, other name", L"https://b\u00fccher.example", L"https://bucher.example/", false},
    {"user-info names the host", L"https://bank.example", L"https://bank.example@evil.example/",
     false},
    {"user-info of the listed host", L"https://bank.example", L"https://me:pw@bank.example/", true},
    {"suffix trick", L"https://bank.example", L"https://bank.example.evil.example/", false},
    {"name in the query", L"https://bank.example", L"https://evil.example/?https://bank.example",
     false},
    {"name in the fragment", L"https://bank.example", L"https://evil.example/#bank.example", false},
    {"backslash before @", L"https://evil.example", L"https://bank.example\\@evil.example/", false},
    {"percent-encoded host", L"https://bank.example", L"https://b%61nk.example/", true},
    {"entry with user-info", L"https://bank.example@evil.example", L"https://evil.example/", false},
    {"IPv4", L"http://192.168.0.1", L"http://192.168.0.1/", true},
    {"IPv4 as one number", L"http://192.168.0.1", L"http://3232235521/", true},
    {"IPv4, other address", L"http://192.168.0.1", L"http://192.168.0.10/", false},
    {"IPv6", L"http://[::1]:8080", L"http://[0:0::1]:8080/", true},
    {"wildcard over an IP", L"http://*.0.0.1", L"http://127.0.0.1/", false},
    {"trailing dot on the page", L"https://bank.example", L"https://bank.example./", true},
    {"trailing dot on the entry", L"https://bank.example.", L"https://bank.example/", true},
    {"file page, web list", L"https://bank.example", L"file:///C:/pages/bank.html", false},
    {"file page, file: listed", L"file:", L"file:///C:/pages/bank.html", true},
    {"file entry with a path", L"file:///C:/pages/bank.html", L"file:///C:/pages/bank.html", false},
    {"web page, file: listed", L"file:", L"https://bank.example/", false},
    {"localhost, file: listed", L"file:", L"file://LocalHost/C:/pages/bank.html", true},
    {"share, file: listed", L"file:", L"file://evil.example/share/page.html", false},
    {"WebDAV, file: listed", L"file:", L"file://evil.example@SSL/DavWWWRoot/page.html", false},
    {"share as four slashes", L"file:", L"file:////evil.example/share/page.html", false},
    {"share percent-encoded", L"file:", L"file:///%5C%5Cevil.example/share/page.html", false},
    {"share listed by its server", L"file://fileserver", L"file://FileServer/s/p.html", true},
    {"WebDAV host as the server", L"file://ssl", L"file://evil.example@SSL/Dav/p.html", false},
    {"about:blank", L"https://*.bank.example", L"about:blank", false},
    {"about: listed", L"about:", L"about:blank", false},
    {"javascript:", L"https://bank.example", L"javascript:alert(1)", false},
    {"data:", L"https://bank.example", L"data:text/html,<p>hi</p>", false},
    {"a bare scheme opens nothing", L"https:", L"https://bank.example/", false},
    {"unparsable address", L"https://bank.example", L"not an address", false},
    {"empty address", L"https://bank.example", L"", false},
    {"no host", L"https://bank.example", L"https://", false},
    {"port out of range", L"https://bank.example", L"https://bank.example:99999/", false},
    {"unparsable entry beside a good one",
     {L"::: not an origin", L"https://*.", L"https://bank.example"},
     L"https://bank.example/",
     true},
    {"empty list", {}, L"https://bank.example/", false},
};

TEST_F(SiteLockTest, TheAddressMatrix) {
    std::printf("verdict   address -> AllowedSites (SiteLock 1)\n");
    for (const AddressCase& row : kAddressMatrix) {
        SCOPED_TRACE(row.what);
        settings.Clear();
        settings.User(L"SiteLock", 1).UserSites(row.allowed);
        FakeSite site(BrowserAt(row.address));
        auto session = SessionAt(site.get());
        HRESULT safety = AskSafety(session.get());
        HRESULT call = Encode(session.get());
        EXPECT_EQ(safety, row.admitted ? S_OK : E_FAIL) << Printable(row.address);
        EXPECT_EQ(call, row.admitted ? S_OK : E_ACCESSDENIED) << Printable(row.address);
        std::string list;
        for (const std::wstring& entry : row.allowed) {
            list += (list.empty() ? "" : ", ") + Printable(entry);
        }
        std::printf("%-9s %s -> [%s]  (%s)\n", call == S_OK ? "allowed" : "refused",
                    Printable(row.address).c_str(), list.c_str(), row.what);
    }
}

// The README's example policy, imported as an administrator would, does what its comments say.
TEST_F(SiteLockTest, TheExamplePolicyLetsOnlyTheBanksPagesIn) {
    qmtest::ChildProcess reg(L"reg.exe import \"" +
                             qmtest::DosPath(QM_SOURCE_DIR "/examples/site-lock.reg") + L"\"");
    ASSERT_TRUE(reg.started());
    ASSERT_EQ(0, reg.Wait(60000));

    settings.User(L"SiteLock", 0); // the user's own settings do not count beside a policy
    const std::pair<const wchar_t*, bool> pages[] = {
        {L"https://bank.example/", true},          {L"https://www.bank.example/login", true},
        {L"https://pay.bank.example:8443/", true}, {L"https://pay.bank.example/", true},
        {L"https://evilbank.example/", false},     {L"https://bank.example:8443/", false},
        {L"http://bank.example/", false},
    };
    for (const auto& [address, admitted] : pages) {
        FakeSite site(BrowserAt(address));
        EXPECT_EQ(admitted ? S_OK : E_ACCESSDENIED, Encode(SessionAt(site.get()).get()))
            << Printable(address);
    }
}

TEST_F(SiteLockTest, SafetyOptionsRefuseAForeignSiteWhicheverComesFirst) {
    settings.User(L"SiteLock", 1).UserSites({L"https://bank.example"});
    FakeSite bank(BrowserAt(L"https://bank.example/"));
    FakeSite evil(BrowserAt(L"https://evil.example/"));

    // The site first, as a browser does it: refused at once.
    auto first = SessionAt(evil.get());
    EXPECT_EQ(E_FAIL, AskSafety(first.get()));
    DWORD supported = 0, enabled = 7;
    As<IObjectSafety>(first.get(), IID_IObjectSafety)
        ->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(0u, enabled) << "a refused request enables nothing";
    EXPECT_EQ(E_ACCESSDENIED, Encode(first.get()));

    // The options first: nothing to judge yet; the site that comes later is judged by every call.
    auto later = Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession);
    EXPECT_EQ(S_OK, AskSafety(later.get()));
    EXPECT_EQ(S_OK, Encode(later.get()));
    SetSite(later.get(), evil.get());
    EXPECT_EQ(E_ACCESSDENIED, Encode(later.get()));
    EXPECT_EQ(E_FAIL, AskSafety(later.get()));

    // A listed site in either order.
    auto listed = SessionAt(bank.get());
    EXPECT_EQ(S_OK, AskSafety(listed.get()));
    EXPECT_EQ(S_OK, Encode(listed.get()));
    auto listedLater = Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession);
    EXPECT_EQ(S_OK, AskSafety(listedLater.get()));
    SetSite(listedLater.get(), bank.get());
    EXPECT_EQ(S_OK, Encode(listedLater.get()));

    // The mask is still checked first, and an IID the object lacks is still its own error.
    auto session = SessionAt(evil.get());
    auto safety = As<IObjectSafety>(session.get(), IID_IObjectSafety);
    EXPECT_EQ(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(IID_IVeyra, 1, 1));
}

// The settings a row writes, after clearing all: each SiteLock that it gives, each list that
// names a site.
struct Settings {
    std::optional<DWORD> userLock;
    Sites userSites = {};
    std::optional<DWORD> policyLock = {};
    Sites policySites = {};

    void WriteTo(ScopedSiteSettings& settings) const {
        settings.Clear();
        if (userLock) {
            settings.User(L"SiteLock", *userLock);
        }
        if (!userSites.empty()) {
            settings.UserSites(userSites);
        }
        if (policyLock) {
            settings.Policy(L"SiteLock", *policyLock);
        }
        if (!policySites.empty()) {
            settings.PolicySites(policySites);
        }
    }
};

TEST_F(SiteLockTest, TheAdministratorsPolicyOverridesTheUsersSettings) {
    const wchar_t* bank = L"https://bank.example";
    const std::tuple<const char*, Settings, bool> cases[] = {
        {"user lock, site listed by the user", {1, bank}, true},
        {"user lock, policy list without a policy lock", {1, {}, {}, bank}, false},
        {"policy lock over an open user", {0, {}, 1}, false},
        {"policy lock, site listed by the policy", {0, {}, 1, bank}, true},
        {"policy lock ignores the user's list", {2, bank, 1}, false},
        {"an open policy over a locked user", {1, {}, 0}, true},
    };
    for (const auto& [what, written, admitted] : cases) {
        SCOPED_TRACE(what);
        written.WriteTo(settings);
        FakeSite site(BrowserAt(L"https://bank.example/"));
        auto session = SessionAt(site.get());
        EXPECT_EQ(admitted ? S_OK : E_FAIL, AskSafety(session.get()));
        EXPECT_EQ(admitted ? S_OK : E_ACCESSDENIED, Encode(session.get()));
    }
}

TEST_F(SiteLockTest, TheVerdictIsSettledWhenTheSiteIsGivenAndKept) {
    FakeSite bank(BrowserAt(L"https://bank.example/"));
    FakeSite evil(BrowserAt(L"https://evil.example/"));
    FakeSite silent(SiteAnswers{}); // a site that reports no address

    // No settings: the site is kept and never read, as it always was.
    auto open = SessionAt(evil.get());
    EXPECT_EQ(S_OK, AskSafety(open.get()));
    EXPECT_EQ(S_OK, Encode(open.get()));
    EXPECT_EQ(0, evil.counters().addressReads);

    settings.User(L"SiteLock", 1).UserSites({L"https://bank.example"});
    EXPECT_EQ(S_OK, Encode(open.get())) << "settings apply to sites given afterwards";

    auto allowed = SessionAt(bank.get());
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(S_OK, Encode(allowed.get()));
    }
    EXPECT_EQ(2, bank.counters().addressReads) // the document and the browser, once each
        << "the verdict is cached, not asked per call";

    // A host that clears the site leaves the verdict as it was; a page cannot shed its site to
    // win access.
    auto refused = SessionAt(evil.get());
    EXPECT_EQ(E_ACCESSDENIED, Encode(refused.get()));
    // Late-bound, as a script calls: dispatch hands the refusal on (GetErrorCode here).
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    HRESULT invoked =
        As<IDispatch>(refused.get(), IID_IDispatch)
            ->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &exception, nullptr);
    EXPECT_TRUE(invoked == E_ACCESSDENIED ||
                (invoked == DISP_E_EXCEPTION && exception.scode == E_ACCESSDENIED))
        << std::hex << invoked;
    SetSite(refused.get(), nullptr);
    EXPECT_EQ(E_ACCESSDENIED, Encode(refused.get()));
    EXPECT_EQ(E_FAIL, AskSafety(refused.get()));
    SetSite(allowed.get(), nullptr);
    EXPECT_EQ(S_OK, Encode(allowed.get()));
    // Only a new site settles it anew.
    SetSite(refused.get(), bank.get());
    EXPECT_EQ(S_OK, Encode(refused.get()));
    SetSite(allowed.get(), evil.get());
    EXPECT_EQ(E_ACCESSDENIED, Encode(allowed.get()));

    // No site at all: a local program or a script host.
    auto local = Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession);
    EXPECT_EQ(S_OK, AskSafety(local.get()));
    EXPECT_EQ(S_OK, Encode(local.get()));

    // A site that reports no address is refused.
    auto nowhere = SessionAt(silent.get());
    EXPECT_EQ(E_FAIL, AskSafety(nowhere.get()));
    EXPECT_EQ(E_ACCESSDENIED, Encode(nowhere.get()));

    // The page's document is asked when the site offers no browser.
    SiteAnswers document;
    document.document = true;
    document.documentAddress = L"https://bank.example/index.html";
    FakeSite viaDocument(document);
    auto documented = SessionAt(viaDocument.get());
    EXPECT_EQ(S_OK, Encode(documented.get()));
    EXPECT_EQ(1, viaDocument.counters().addressReads);
    // Both answer: the browser names the top page, the document the frame the object is in.
    SiteAnswers both = document;
    both.browser = true;
    both.browserAddress = L"https://BANK.example:443/other"; // one origin, told two ways
    FakeSite twoWays(both);
    EXPECT_EQ(S_OK, Encode(SessionAt(twoWays.get()).get()));
    both.documentAddress = L"https://evil.example/ad.html"; // a frame in a listed page
    FakeSite framedInBank(both);
    EXPECT_EQ(E_FAIL, AskSafety(SessionAt(framedInBank.get()).get()));
    EXPECT_EQ(E_ACCESSDENIED, Encode(SessionAt(framedInBank.get()).get()));
    std::swap(both.browserAddress, both.documentAddress); // a listed page framed elsewhere
    FakeSite bankFramed(both);
    EXPECT_EQ(E_ACCESSDENIED, Encode(SessionAt(bankFramed.get()).get()));
    // The same both ways for an object a script made, whose site offers services alone (the
    // browser's and the script's document); the browser alone names no document.
    FakeSite scriptInBank(qmtest::FrameIn(L"https://bank.example/", L"https://ads.example/"));
    EXPECT_EQ(E_ACCESSDENIED, Encode(SessionAt(scriptInBank.get()).get()));
    FakeSite bankScriptFramed(qmtest::FrameIn(L"https://evil.example/", L"https://bank.example/"));
    EXPECT_EQ(E_ACCESSDENIED, Encode(SessionAt(bankScriptFramed.get()).get()));
    SiteAnswers topOnly = BrowserAt(L"https://bank.example/");
    topOnly.documentService = false;
    FakeSite browserAlone(topOnly);
    EXPECT_EQ(E_ACCESSDENIED, Encode(SessionAt(browserAlone.get()).get()));

    // Every object lets its site go: nothing held, nothing leaked.
    for (auto* object : {&open, &allowed, &refused, &nowhere, &documented}) {
        object->reset();
    }
    for (const FakeSite* site : {&bank, &evil, &silent, &viaDocument, &twoWays, &framedInBank}) {
        EXPECT_EQ(1, site->counters().refs);
    }
}

TEST_F(SiteLockTest, SettingsThatCannotBeReadCountAsTheStricterOnes) {
    FakeSite evil(BrowserAt(L"https://evil.example/"));
    const wchar_t zeroAsText[] = L"0";
    const DWORD nine = 9;
    const BYTE eightBytes[8] = {};
    const std::tuple<const char*, DWORD, const void*, DWORD> cases[] = {
        {"SiteLock as text", REG_SZ, zeroAsText, sizeof(zeroAsText)},
        {"SiteLock out of range", REG_DWORD, &nine, sizeof(nine)},
        {"SiteLock as eight bytes", REG_BINARY, eightBytes, sizeof(eightBytes)},
    };
    for (const auto& [what, type, data, size] : cases) {
        SCOPED_TRACE(what);
        settings.Clear();
        settings.UserRaw(L"SiteLock", type, data, size);
        EXPECT_EQ(E_ACCESSDENIED, Encode(SessionAt(evil.get()).get()));
    }
}

// The enveloping of one site's page, against a PEM recipient.
struct Page {
    ComPtr<ISecureSession> session;

    std::pair<HRESULT, std::wstring>
    Call(HRESULT (STDMETHODCALLTYPE ISecureSession::*method)(BSTR, BSTR*),
         const std::wstring& text) {
        qm::UniqueBstr out;
        HRESULT hr = (session.get()->*method)(qmtest::Bstr(text).get(), out.out());
        return {hr, qmtest::TextOf(out.get())};
    }
    std::pair<HRESULT, std::wstring> Generate(const std::wstring& recipient) {
        qm::UniqueBstr out;
        HRESULT hr = session->GenerateEx(qmtest::Bstr(L"SEED").get(), qmtest::Bstr(recipient).get(),
                                         out.out());
        return {hr, qmtest::TextOf(out.get())};
    }
    std::wstring KeyIv() {
        qm::UniqueBstr out;
        EXPECT_EQ(S_OK, session->getKEYIV(out.out()));
        return qmtest::TextOf(out.get());
    }
    int Code() {
        INT code = -1;
        session->GetErrorCode(&code);
        return code;
    }
};

std::wstring RecipientPem() {
    std::ifstream file(QM_FIXTURES "/ca.pem", std::ios::binary);
    const std::string pem{std::istreambuf_iterator<char>(file), {}};
    return std::wstring(pem.begin(), pem.end()); // ASCII
}

std::wstring ReadSetting(const wchar_t* key, const wchar_t* name) {
    wchar_t text[4096] = {};
    DWORD size = sizeof(text);
    std::wstring path = std::wstring(L"SOFTWARE\\TesselCorp\\Oriel\\") + key;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) !=
        ERROR_SUCCESS) {
        return L"<absent>";
    }
    return text;
}

TEST_F(SiteLockTest, EachSiteKeepsASessionOfItsOwn) {
    std::wstring recipient = RecipientPem();
    ASSERT_FALSE(recipient.empty()) << "no fixture certificate";
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\TesselCorp\\Oriel\\Veyra\\Brindel\\Sites");
    settings.User(L"SessionScope", 1);

    // The shared session holds what a siteless object left there.
    Page local{Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession)};
    auto [sharedHr, shared] = local.Generate(recipient);
    ASSERT_EQ(S_OK, sharedHr);
    auto [sharedCipherHr, sharedCipher] = local.Call(&ISecureSession::EncipherEx, L"shared");
    ASSERT_EQ(S_OK, sharedCipherHr);

    FakeSite siteA(BrowserAt(L"https://a.example:8443/app"));
    FakeSite siteB(BrowserAt(L"https://b.example/"));
    Page a{SessionAt(siteA.get())};
    Page b{SessionAt(siteB.get())};

    auto [generated, sealed] = a.Generate(recipient);
    ASSERT_EQ(S_OK, generated);
    auto [enciphered, cipher] = a.Call(&ISecureSession::EncipherEx, L"\uD55C\uAE00 for A");
    ASSERT_EQ(S_OK, enciphered);
    EXPECT_EQ(sealed, ReadSetting(L"Veyra\\Brindel\\Sites\\https://a.example:8443", L"c"));

    // B has no session: it can neither use nor read A's, nor decipher A's text.
    EXPECT_EQ(S_FALSE, b.Call(&ISecureSession::EncipherEx, L"from B").first);
    EXPECT_EQ(11, b.Code());
    EXPECT_EQ(S_FALSE, b.Call(&ISecureSession::DecipherEx, cipher).first);
    EXPECT_EQ(L"", b.KeyIv());
    EXPECT_EQ(L"<absent>", ReadSetting(L"Veyra\\Brindel\\Sites\\https://b.example", L"c"));

    // A's session still works, from another object of the same site.
    const auto deciphered = std::make_pair(S_OK, std::wstring(L"\uD55C\uAE00 for A"));
    Page a2{SessionAt(siteA.get())};
    EXPECT_EQ(deciphered, a2.Call(&ISecureSession::DecipherEx, cipher));
    EXPECT_EQ(sealed, a2.KeyIv());

    // B's own GenerateEx replaces nothing of A's, nor of the shared session.
    ASSERT_EQ(S_OK, b.Generate(recipient).first);
    EXPECT_EQ(sealed, a.KeyIv());
    EXPECT_EQ(deciphered, a.Call(&ISecureSession::DecipherEx, cipher));

    // A siteless object sees only the shared session, as every object did before.
    Page stranger{Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession)};
    EXPECT_EQ(shared, stranger.KeyIv());
    EXPECT_EQ(std::make_pair(S_OK, std::wstring(L"shared")),
              stranger.Call(&ISecureSession::DecipherEx, sharedCipher));
    EXPECT_EQ(S_FALSE, stranger.Call(&ISecureSession::DecipherEx, cipher).first);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\TesselCorp\\Oriel\\Veyra\\Brindel\\Sites");
}

// Pages of modern browsers, as the native messaging host describes them through the browser-page
// service: the lock is on whatever the settings say, only https: (and http: of the machine itself)
// is served, and a frame of another site than its top page is refused. Every row is one page
// under one set of settings; "asked" pages get the consent dialog, which the row dismisses.
enum Verdict { Allowed, Asked, Refused };
const char* const kVerdicts[] = {"allowed", "asked", "refused"};
struct BrowserPageRow {
    const char* what;
    Settings written;
    std::wstring origin;
    Verdict verdict;
    std::wstring top = {}; // empty: the page is its own top page
};

const wchar_t* const kBank = L"https://bank.example";
const wchar_t* const kEvil = L"https://evil.example";
const wchar_t* const kAds = L"https://ads.example";
const BrowserPageRow kBrowserPages[] = {
    {"no settings at all", {}, kBank, Asked},
    {"an open user, the site listed", {0, kBank}, kBank, Allowed},
    {"an open user, the site unlisted", {0, kBank}, kEvil, Asked},
    {"listed sites only, listed", {1, kBank}, kBank, Allowed},
    {"listed sites only, unlisted: nobody asked", {1, kBank}, kEvil, Refused},
    {"an open policy counts the user's answers", {{}, kBank, 0}, kBank, Allowed},
    {"an open policy, unlisted", {{}, kBank, 0}, kEvil, Asked},
    {"a policy of listed sites only ignores the user's", {{}, kBank, 1}, kBank, Refused},
    {"http: of a listed name",
     {1, {kBank, L"http://bank.example"}},
     L"http://bank.example",
     Refused},
    {"http://localhost, listed", {1, L"http://localhost:8080"}, L"http://localhost:8080", Allowed},
    {"http://127.0.0.1, listed", {1, L"http://127.0.0.1:3000"}, L"http://127.0.0.1:3000", Allowed},
    {"http://localhost, unlisted", {0}, L"http://localhost:8080", Asked},
    {"http: of another address, listed",
     {1, L"http://192.168.0.1"},
     L"http://192.168.0.1",
     Refused},
    {"http: of [::1], listed", {1, L"http://[::1]:8080"}, L"http://[::1]:8080", Refused},
    {"a frame of another site in a listed page", {1, {kBank, kAds}}, kAds, Refused, kBank},
    {"a listed frame in another site's page", {1, kBank}, kBank, Refused, kEvil},
    {"a frame of the page's own site", {1, kBank}, kBank, Allowed, L"https://bank.example:443"},
    {"no origin", {0, kBank}, L"", Refused},
    {"an opaque origin", {0, kBank}, L"null", Refused},
    {"an extension's page", {0, L"chrome-extension://abc"}, L"chrome-extension://abc", Refused},
    {"a file: page", {0, L"file:"}, L"file:///C:/page.html", Refused},
};

TEST_F(SiteLockTest, BrowserPagesAreAlwaysBehindTheLock) {
    std::printf("verdict   browser page (top page) under the settings\n");
    for (const BrowserPageRow& row : kBrowserPages) {
        SCOPED_TRACE(row.what);
        row.written.WriteTo(settings);
        FakeSite site(qmtest::BrowserPageAt(row.origin, row.top));
        auto session = SessionAt(site.get());
        HRESULT safety = AskSafety(session.get());
        Seen seen;
        HRESULT call = EncodeAnswering(session, seen, Cancel);
        EXPECT_EQ(row.verdict == Refused ? E_FAIL : S_OK, safety) << Printable(row.origin);
        EXPECT_EQ(row.verdict == Allowed ? S_OK : E_ACCESSDENIED, call) << Printable(row.origin);
        EXPECT_EQ(row.verdict == Asked, seen.showed) << Printable(row.origin);
        if (seen.showed) {
            EXPECT_EQ(row.origin, seen.origin) << "the dialog names the browser's origin";
        }
        session.reset();
        EXPECT_EQ(1, site.counters().refs) << "the object let its site go";
        std::printf("%-9s %s (%s)  (%s)\n", kVerdicts[row.verdict], Printable(row.origin).c_str(),
                    Printable(row.top.empty() ? row.origin : row.top).c_str(), row.what);
    }
}

// A browser page keeps its site's session without SessionScope, beside the shared one, and its
// dialogs belong to the window the browser named (none when that window is gone).
TEST_F(SiteLockTest, BrowserPagesKeepSessionsPerSiteAndTheBrowsersWindow) {
    std::wstring recipient = RecipientPem();
    ASSERT_FALSE(recipient.empty()) << "no fixture certificate";
    const wchar_t* sites = L"SOFTWARE\\TesselCorp\\Oriel\\Veyra\\Brindel\\Sites";
    RegDeleteTreeW(HKEY_CURRENT_USER, sites);
    Page local{Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession)};
    ASSERT_EQ(S_OK, local.Generate(recipient).first);
    const std::wstring shared = local.KeyIv();

    settings.User(L"SiteLock", 1).UserSites({L"https://a.example", L"https://b.example"});
    FakeSite siteA(qmtest::BrowserPageAt(L"https://a.example"));
    FakeSite siteB(qmtest::BrowserPageAt(L"https://b.example"));
    Page a{SessionAt(siteA.get())};
    Page b{SessionAt(siteB.get())};
    auto [generated, sealed] = a.Generate(recipient);
    ASSERT_EQ(S_OK, generated);
    EXPECT_EQ(sealed, ReadSetting(L"Veyra\\Brindel\\Sites\\https://a.example", L"c"));
    EXPECT_EQ(shared, local.KeyIv()) << "the shared session is not the browser page's";
    EXPECT_EQ(L"", b.KeyIv()) << "another site sees nothing of it";
    EXPECT_EQ(sealed, Page{SessionAt(siteA.get())}.KeyIv()) << "another page of the same site";
    RegDeleteTreeW(HKEY_CURRENT_USER, sites);

    settings.Clear();
    qmtest::HostWindow browser{140, 100, 640, 480};
    RECT frame{};
    GetWindowRect(browser.get(), &frame);
    FakeSite owned(qmtest::BrowserPageAt(L"https://owned.example", {}, browser.get()));
    Seen seen;
    EXPECT_EQ(E_ACCESSDENIED, EncodeAnswering(SessionAt(owned.get()), seen, Cancel));
    ASSERT_TRUE(seen.showed);
    EXPECT_EQ(browser.get(), seen.owner);
    ExpectCentredOver(seen.at, frame);

    HWND gone = CreateWindowExW(0, L"STATIC", L"closed", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    FakeSite orphan(qmtest::BrowserPageAt(L"https://orphan.example", {}, gone));
    Seen unowned;
    EncodeAnswering(SessionAt(orphan.get()), unowned, Cancel);
    ASSERT_TRUE(unowned.showed);
    EXPECT_EQ(nullptr, unowned.owner) << "a window that is gone owns nothing";
}

} // namespace
