// The site lock, with this program playing the browser: each object gets a site that reports a
// page's address (and the browser's window), and each case writes the settings it needs into the
// registry. The objects come from the registered Quillmark.dll, as a browser gets them.
#include "automation/QuillmarkInterfaces.h"
#include "platform/Raii.h"
#include "tests/module/built_module.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/fake_site.h"
#include "tests/support/site_settings.h"

#include <gtest/gtest.h>

#include <objsafe.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using qm::ComPtr;
using qmtest::BrowserAt;
using qmtest::FakeSite;
using qmtest::ScopedSiteSettings;
using qmtest::SiteAnswers;

namespace {

constexpr wchar_t kConsentCaption[] = L"사이트 허용 확인";
constexpr wchar_t kSelectCaption[] = L"인증서 선택(v1,0,0,1)";

template <class I> ComPtr<I> Create(REFCLSID clsid, REFIID iid) {
    ComPtr<I> object;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object.out_void()));
    return object;
}

template <class I> ComPtr<I> As(IUnknown* object, REFIID iid) {
    ComPtr<I> other;
    EXPECT_EQ(S_OK, object->QueryInterface(iid, other.out_void()));
    return other;
}

HRESULT SetSite(IUnknown* object, IUnknown* site) {
    return As<IObjectWithSite>(object, IID_IObjectWithSite)->SetSite(site);
}

HRESULT AskSafety(IUnknown* object) {
    return As<IObjectSafety>(object, IID_IObjectSafety)
        ->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                    INTERFACESAFE_FOR_UNTRUSTED_CALLER);
}

// A SecureSession given a site, as a browser makes one for a page.
ComPtr<ISecureSession> SessionAt(IUnknown* site) {
    auto session = Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession);
    EXPECT_EQ(S_OK, SetSite(session.get(), site));
    return session;
}

HRESULT Encode(ISecureSession* session, std::wstring* text = nullptr) {
    BSTR input = SysAllocString(L"abc");
    BSTR output = reinterpret_cast<BSTR>(0x1);
    HRESULT hr = session->Base64Encode(input, &output);
    if (text != nullptr) {
        *text = output != nullptr ? output : L"<null>";
    }
    if (output != reinterpret_cast<BSTR>(0x1)) {
        SysFreeString(output);
    }
    SysFreeString(input);
    return hr;
}

// ASCII for the test's output (Wine's console runs in code page 949).
std::string Printable(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", unsigned(c));
            out += escaped;
        }
    }
    return out;
}

class SiteLockTest : public ::testing::Test {
protected:
    ScopedSiteSettings settings;
};

// Every row: the user's AllowedSites under SiteLock 1, the page's address, and whether the page
// may drive the object. The verdicts are printed as a table.
struct AddressCase {
    const char* what;
    std::vector<std::wstring> allowed;
    std::wstring address;
    bool admitted;
};

const AddressCase kAddressMatrix[] = {
    {"exact", {L"https://bank.example"}, L"https://bank.example/", true},
    {"path, query, fragment", {L"https://bank.example"}, L"https://bank.example/a/b?c=d#e", true},
    {"other scheme", {L"https://bank.example"}, L"http://bank.example/", false},
    {"subdomain of an exact entry", {L"https://bank.example"}, L"https://www.bank.example/", false},
    {"entry with a path", {L"https://bank.example/app/"}, L"https://bank.example/other", true},
    {"default port named", {L"https://bank.example"}, L"https://bank.example:443/", true},
    {"other port", {L"https://bank.example"}, L"https://bank.example:8443/", false},
    {"listed port", {L"https://bank.example:8443"}, L"https://bank.example:8443/x", true},
    {"listed port, page on default",
     {L"https://bank.example:8443"},
     L"https://bank.example/",
     false},
    {"http default port", {L"http://bank.example:80"}, L"http://bank.example/", true},
    {"case", {L"HTTPS://Bank.EXAMPLE"}, L"https://BANK.example/", true},
    {"wildcard, subdomain", {L"https://*.bank.example"}, L"https://www.bank.example/", true},
    {"wildcard, deeper", {L"https://*.bank.example"}, L"https://a.b.bank.example/", true},
    {"wildcard, the name itself", {L"https://*.bank.example"}, L"https://bank.example/", false},
    {"wildcard, name ending alike",
     {L"https://*.bank.example"},
     L"https://evilbank.example/",
     false},
    {"wildcard, suffix trick",
     {L"https://*.bank.example"},
     L"https://bank.example.evil.example/",
     false},
    {"wildcard, other port", {L"https://*.bank.example:8443"}, L"https://www.bank.example/", false},
    {"IDN entry, ASCII page",
     {L"https://b\u00fccher.example"},
     L"https://xn--bcher-kva.example/",
     true},
    {"ASCII entry, IDN page",
     {L"https://xn--bcher-kva.example"},
     L"https://B\u00dcCHER.example/",
     true},
    {"IDN, other name", {L"https://b\u00fccher.example"}, L"https://bucher.example/", false},
    {"user-info names the host",
     {L"https://bank.example"},
     L"https://bank.example@evil.example/",
     false},
    {"user-info of the listed host",
     {L"https://bank.example"},
     L"https://me:pw@bank.example/",
     true},
    {"suffix trick", {L"https://bank.example"}, L"https://bank.example.evil.example/", false},
    {"name in the query",
     {L"https://bank.example"},
     L"https://evil.example/?https://bank.example",
     false},
    {"name in the fragment",
     {L"https://bank.example"},
     L"https://evil.example/#bank.example",
     false},
    {"backslash before @",
     {L"https://evil.example"},
     L"https://bank.example\\@evil.example/",
     false},
    {"percent-encoded host", {L"https://bank.example"}, L"https://b%61nk.example/", true},
    {"entry with user-info",
     {L"https://bank.example@evil.example"},
     L"https://evil.example/",
     false},
    {"IPv4", {L"http://192.168.0.1"}, L"http://192.168.0.1/", true},
    {"IPv4 as one number", {L"http://192.168.0.1"}, L"http://3232235521/", true},
    {"IPv4, other address", {L"http://192.168.0.1"}, L"http://192.168.0.10/", false},
    {"IPv6", {L"http://[::1]:8080"}, L"http://[0:0::1]:8080/", true},
    {"wildcard over an IP", {L"http://*.0.0.1"}, L"http://127.0.0.1/", false},
    {"trailing dot on the page", {L"https://bank.example"}, L"https://bank.example./", true},
    {"trailing dot on the entry", {L"https://bank.example."}, L"https://bank.example/", true},
    {"file page, web list", {L"https://bank.example"}, L"file:///C:/pages/bank.html", false},
    {"file page, file: listed", {L"file:"}, L"file:///C:/pages/bank.html", true},
    {"file entry with a path",
     {L"file:///C:/pages/bank.html"},
     L"file:///C:/pages/bank.html",
     false},
    {"web page, file: listed", {L"file:"}, L"https://bank.example/", false},
    {"localhost, file: listed", {L"file:"}, L"file://LocalHost/C:/pages/bank.html", true},
    {"share, file: listed", {L"file:"}, L"file://evil.example/share/page.html", false},
    {"WebDAV, file: listed", {L"file:"}, L"file://evil.example@SSL/DavWWWRoot/page.html", false},
    {"share as four slashes", {L"file:"}, L"file:////evil.example/share/page.html", false},
    {"share percent-encoded", {L"file:"}, L"file:///%5C%5Cevil.example/share/page.html", false},
    {"share listed by its server", {L"file://fileserver"}, L"file://FileServer/s/p.html", true},
    {"WebDAV host as the server", {L"file://ssl"}, L"file://evil.example@SSL/Dav/p.html", false},
    {"about:blank", {L"https://*.bank.example"}, L"about:blank", false},
    {"about: listed", {L"about:"}, L"about:blank", false},
    {"javascript:", {L"https://bank.example"}, L"javascript:alert(1)", false},
    {"data:", {L"https://bank.example"}, L"data:text/html,<p>hi</p>", false},
    {"a bare scheme opens nothing", {L"https:"}, L"https://bank.example/", false},
    {"unparsable address", {L"https://bank.example"}, L"not an address", false},
    {"empty address", {L"https://bank.example"}, L"", false},
    {"no host", {L"https://bank.example"}, L"https://", false},
    {"port out of range", {L"https://bank.example"}, L"https://bank.example:99999/", false},
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
    std::wstring command =
        L"reg.exe import \"" + qmtest::DosPath(QM_SOURCE_DIR "/examples/site-lock.reg") + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ASSERT_EQ(0u, exitCode);

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
    auto first = Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession);
    SetSite(first.get(), evil.get());
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

TEST_F(SiteLockTest, TheAdministratorsPolicyOverridesTheUsersSettings) {
    struct Case {
        const char* what;
        std::optional<DWORD> userLock;
        std::vector<std::wstring> userSites;
        std::optional<DWORD> policyLock;
        std::vector<std::wstring> policySites;
        bool admitted;
    };
    const std::wstring page = L"https://bank.example/";
    const Case cases[] = {
        {"user lock, site listed by the user", 1, {L"https://bank.example"}, {}, {}, true},
        {"user lock, policy list without a policy lock",
         1,
         {},
         {},
         {L"https://bank.example"},
         false},
        {"policy lock over an open user", 0, {}, 1, {}, false},
        {"policy lock, site listed by the policy", 0, {}, 1, {L"https://bank.example"}, true},
        {"policy lock ignores the user's list", 2, {L"https://bank.example"}, 1, {}, false},
        {"an open policy over a locked user", 1, {}, 0, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings.Clear();
        if (c.userLock) {
            settings.User(L"SiteLock", *c.userLock);
        }
        if (!c.userSites.empty()) {
            settings.UserSites(c.userSites);
        }
        if (c.policyLock) {
            settings.Policy(L"SiteLock", *c.policyLock);
        }
        if (!c.policySites.empty()) {
            settings.PolicySites(c.policySites);
        }
        FakeSite site(BrowserAt(page));
        auto session = SessionAt(site.get());
        EXPECT_EQ(c.admitted ? S_OK : E_FAIL, AskSafety(session.get()));
        EXPECT_EQ(c.admitted ? S_OK : E_ACCESSDENIED, Encode(session.get()));
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
    open.reset();
    allowed.reset();
    refused.reset();
    nowhere.reset();
    documented.reset();
    EXPECT_EQ(1, bank.counters().refs);
    EXPECT_EQ(1, evil.counters().refs);
    EXPECT_EQ(1, silent.counters().refs);
    EXPECT_EQ(1, viaDocument.counters().refs);
    EXPECT_EQ(1, twoWays.counters().refs);
    EXPECT_EQ(1, framedInBank.counters().refs);
}

TEST_F(SiteLockTest, SettingsThatCannotBeReadCountAsTheStricterOnes) {
    FakeSite evil(BrowserAt(L"https://evil.example/"));
    const wchar_t zeroAsText[] = L"0";
    const DWORD nine = 9;
    const BYTE eightBytes[8] = {};
    struct Case {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
    };
    const Case cases[] = {
        {"SiteLock as text", REG_SZ, zeroAsText, sizeof(zeroAsText)},
        {"SiteLock out of range", REG_DWORD, &nine, sizeof(nine)},
        {"SiteLock as eight bytes", REG_BINARY, eightBytes, sizeof(eightBytes)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings.Clear();
        settings.UserRaw(L"SiteLock", c.type, c.data, c.size);
        EXPECT_EQ(E_ACCESSDENIED, Encode(SessionAt(evil.get()).get()));
    }
}

// The enveloping of one site's page, against a PEM recipient.
struct Page {
    ComPtr<ISecureSession> session;

    std::pair<HRESULT, std::wstring>
    Call(HRESULT (STDMETHODCALLTYPE ISecureSession::*method)(BSTR, BSTR*),
         const std::wstring& text) {
        BSTR in = SysAllocStringLen(text.data(), UINT(text.size()));
        BSTR out = nullptr;
        HRESULT hr = (session.get()->*method)(in, &out);
        std::wstring result = out != nullptr ? out : L"<null>";
        SysFreeString(out);
        SysFreeString(in);
        return {hr, result};
    }
    std::pair<HRESULT, std::wstring> Generate(const std::wstring& recipient) {
        BSTR algorithm = SysAllocString(L"SEED");
        BSTR dn = SysAllocStringLen(recipient.data(), UINT(recipient.size()));
        BSTR out = nullptr;
        HRESULT hr = session->GenerateEx(algorithm, dn, &out);
        std::wstring result = out != nullptr ? out : L"<null>";
        SysFreeString(out);
        SysFreeString(dn);
        SysFreeString(algorithm);
        return {hr, result};
    }
    std::wstring KeyIv() {
        BSTR out = nullptr;
        EXPECT_EQ(S_OK, session->getKEYIV(&out));
        std::wstring result = out != nullptr ? out : L"<null>";
        SysFreeString(out);
        return result;
    }
    int Code() {
        INT code = -1;
        session->GetErrorCode(&code);
        return code;
    }
};

std::wstring RecipientPem() {
    FILE* file = std::fopen(QM_FIXTURES "/ca.pem", "rb");
    std::wstring pem;
    if (file != nullptr) {
        for (int c; (c = std::fgetc(file)) != EOF;) {
            pem += wchar_t(c);
        }
        std::fclose(file);
    }
    return pem;
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
    Page a2{SessionAt(siteA.get())};
    EXPECT_EQ(std::make_pair(S_OK, std::wstring(L"\uD55C\uAE00 for A")),
              a2.Call(&ISecureSession::DecipherEx, cipher));
    EXPECT_EQ(sealed, a2.KeyIv());

    // B's own GenerateEx replaces nothing of A's, nor of the shared session.
    ASSERT_EQ(S_OK, b.Generate(recipient).first);
    EXPECT_EQ(sealed, a.KeyIv());
    EXPECT_EQ(std::make_pair(S_OK, std::wstring(L"\uD55C\uAE00 for A")),
              a.Call(&ISecureSession::DecipherEx, cipher));

    // A siteless object sees only the shared session, as every object did before.
    Page stranger{Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession)};
    EXPECT_EQ(shared, stranger.KeyIv());
    EXPECT_EQ(std::make_pair(S_OK, std::wstring(L"shared")),
              stranger.Call(&ISecureSession::DecipherEx, sharedCipher));
    EXPECT_EQ(S_FALSE, stranger.Call(&ISecureSession::DecipherEx, cipher).first);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\TesselCorp\\Oriel\\Veyra\\Brindel\\Sites");
}

// Where a dialog came up, and what it showed.
struct Seen {
    bool showed = false;
    HWND owner = nullptr;
    RECT at{};
    std::wstring origin;
    int dialogs = 0; // dialogs with the caption open at once
};

BOOL CALLBACK CountCaption(HWND window, LPARAM param) {
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    auto* seen = reinterpret_cast<std::pair<const wchar_t*, int>*>(param);
    if (IsWindowVisible(window) && std::wstring(caption) == seen->first) {
        ++seen->second;
    }
    return TRUE;
}

// Runs `call` while the dialog with `caption` is recorded into `seen` and driven by `act`.
template <class Call>
HRESULT WithDialog(const wchar_t* caption, Seen& seen, const std::function<void(HWND)>& act,
                   Call call) {
    return qmtest::WhileDialog(
        caption,
        [&](HWND dialog) {
            seen.showed = true;
            seen.owner = GetWindow(dialog, GW_OWNER);
            GetWindowRect(dialog, &seen.at);
            wchar_t origin[300] = {};
            GetDlgItemTextW(dialog, 211, origin, 300); // the origin box
            seen.origin = origin;
            std::pair<const wchar_t*, int> count{caption, 0};
            EnumWindows(&CountCaption, reinterpret_cast<LPARAM>(&count));
            seen.dialogs = count.second;
            act(dialog);
        },
        call);
}

// Clicks an answer once the dialog lets it be reached.
void Click(HWND dialog, int button) {
    qmtest::Eventually([&] { return qmtest::AnswersOpen(dialog); });
    PostMessageW(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
}

constexpr int kAllowAlways = 212; // the check box that turns Allow into allow-always
constexpr int kAllow = 213;
constexpr int kDeny = 214;

// Ticks "allow always" and allows, once the dialog lets them be reached.
void AllowAlways(HWND dialog) {
    Click(dialog, kAllowAlways);
    Click(dialog, kAllow);
}

POINT Centre(const RECT& r) {
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

void ExpectCentredOver(const RECT& dialog, const RECT& frame) {
    POINT a = Centre(dialog), b = Centre(frame);
    EXPECT_LE(std::abs(a.x - b.x), 1) << a.x << " against " << b.x;
    EXPECT_LE(std::abs(a.y - b.y), 1) << a.y << " against " << b.y;
}

// GenerateEx without a DN: the user chooses the recipient in the selection dialog.
HRESULT Choose(ISecureSession* session) {
    BSTR algorithm = SysAllocString(L"SEED"), dn = SysAllocString(L""), out = nullptr;
    HRESULT hr = session->GenerateEx(algorithm, dn, &out);
    SysFreeString(out);
    SysFreeString(dn);
    SysFreeString(algorithm);
    return hr;
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
        HRESULT hr =
            WithDialog(kConsentCaption, seen, AllowAlways, [&] { return Encode(session.get()); });
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
        EXPECT_EQ(S_OK, WithDialog(
                            kConsentCaption, seen, [](HWND d) { Click(d, kAllow); },
                            [&] { return Encode(session.get()); }));
        EXPECT_TRUE(seen.showed);
        Seen again;
        EXPECT_EQ(S_OK, WithDialog(
                            kConsentCaption, again, [](HWND d) { Click(d, kDeny); },
                            [&] { return Encode(session.get()); }));
        EXPECT_FALSE(again.showed) << "one answer serves the object's lifetime";
        auto next = SessionAt(site.get());
        Seen asked;
        EXPECT_EQ(S_OK, WithDialog(
                            kConsentCaption, asked, [](HWND d) { Click(d, kAllow); },
                            [&] { return Encode(next.get()); }));
        EXPECT_TRUE(asked.showed);
        EXPECT_EQ(2u, ScopedSiteSettings::UserSitesNow().size()) << "once adds nothing to the list";
    }
    // Deny: for the process's lifetime, with no new dialog.
    {
        FakeSite site(BrowserAt(L"https://deny.example/", host.get()));
        auto session = SessionAt(site.get());
        Seen seen;
        EXPECT_EQ(E_ACCESSDENIED, WithDialog(
                                      kConsentCaption, seen, [](HWND d) { Click(d, kDeny); },
                                      [&] { return Encode(session.get()); }));
        EXPECT_TRUE(seen.showed);
        auto next = SessionAt(site.get());
        EXPECT_EQ(E_FAIL, AskSafety(next.get()));
        Seen again;
        EXPECT_EQ(E_ACCESSDENIED, WithDialog(kConsentCaption, again, AllowAlways,
                                             [&] { return Encode(next.get()); }));
        EXPECT_FALSE(again.showed);
    }
    // Escape: no answer; this object asks no more, the site is not remembered.
    {
        FakeSite site(BrowserAt(L"https://escape.example/", host.get()));
        auto session = SessionAt(site.get());
        Seen seen;
        EXPECT_EQ(E_ACCESSDENIED,
                  WithDialog(
                      kConsentCaption, seen,
                      [](HWND d) { PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); },
                      [&] { return Encode(session.get()); }));
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
            Click(dialog, kAllow);
        },
        [&] { return Encode(first.get()); });
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, seen.dialogs);
    EXPECT_EQ(E_ACCESSDENIED, whileOpen);

    // A listed site is never asked about.
    FakeSite bank(BrowserAt(L"https://bank.example/", host.get()));
    Seen none;
    EXPECT_EQ(S_OK, WithDialog(
                        kConsentCaption, none, [](HWND d) { Click(d, kDeny); },
                        [&] { return Encode(SessionAt(bank.get()).get()); }));
    EXPECT_FALSE(none.showed);

    // A policy of SiteLock 1 forbids asking, whatever the user chose.
    settings.Policy(L"SiteLock", 1);
    FakeSite other(BrowserAt(L"https://unlisted.example/", host.get()));
    auto refused = SessionAt(other.get());
    Seen forbidden;
    EXPECT_EQ(E_FAIL, AskSafety(refused.get()));
    EXPECT_EQ(E_ACCESSDENIED, WithDialog(kConsentCaption, forbidden, AllowAlways,
                                         [&] { return Encode(refused.get()); }));
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
    EXPECT_EQ(S_OK, WithDialog(
                        kConsentCaption, consent, [](HWND d) { Click(d, kAllow); },
                        [&] { return Encode(session.get()); }));
    ASSERT_TRUE(consent.showed);
    EXPECT_EQ(host.get(), consent.owner);
    ExpectCentredOver(consent.at, hostRect);

    // The selection dialog of GenerateEx without a DN, the window found through the browser.
    FakeSite browser(BrowserAt(L"https://bank.example/", host.get()));
    auto choosing = SessionAt(browser.get());
    Seen select;
    auto cancel = [](HWND d) { PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); };
    EXPECT_EQ(S_FALSE,
              WithDialog(kSelectCaption, select, cancel, [&] { return Choose(choosing.get()); }));
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
              WithDialog(kSelectCaption, screen, cancel, [&] { return Choose(local.get()); }));
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
            Click(d, kAllow);
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
                for (auto [name, id] : {std::pair{"allow", kAllow}, {"always", kAllowAlways}}) {
                    POINT at = qmtest::CentreOf(d, id);
                    places << name << ' ' << at.x << ' ' << at.y << '\n';
                }
            }
            MoveFileA(path("shown.part").c_str(), path("shown").c_str());
            if (mode == "calibrate") {
                PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                return;
            }
            for (int i = 0; i < 3000 && !has("stop"); ++i, Sleep(20)) {
                heldThroughout = heldThroughout && !qmtest::AnswersOpen(d);
            }
            waitFor("end");
            upAfter = IsWindowVisible(d) != FALSE;
            ticked = upAfter && IsDlgButtonChecked(d, kAllowAlways) == BST_CHECKED;
            PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
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
            caption == kSelectCaption ? (void)PostMessageW(d, WM_COMMAND, IDCANCEL, 0)
                                      : Click(d, kAllow);
        };
        EXPECT_EQ(expected, WithDialog(caption, seen, act, [&] { return call(session); }));
        EXPECT_EQ(2, siteRefsInDialog) << "the object, let go, still held its site";
        EXPECT_EQ(1, site->counters().refs) << "the object went when the call returned";
    }
}

// Pages of modern browsers, as the native messaging host describes them through the browser-page
// service: the lock is on whatever the settings say, only https: (and http: of the machine itself)
// is served, and a frame of another site than its top page is refused. Every row is one page
// under one set of settings; "asked" pages get the consent dialog, which the row dismisses.
TEST_F(SiteLockTest, BrowserPagesAreAlwaysBehindTheLock) {
    enum Verdict { Allowed, Asked, Refused };
    struct Row {
        const char* what;
        std::optional<DWORD> userLock;
        std::vector<std::wstring> userSites;
        std::optional<DWORD> policyLock;
        std::wstring origin;
        std::wstring top; // empty: the page is its own top page
        Verdict verdict;
    };
    const std::wstring bank = L"https://bank.example";
    const Row rows[] = {
        {"no settings at all", {}, {}, {}, bank, {}, Asked},
        {"an open user, the site listed", 0, {bank}, {}, bank, {}, Allowed},
        {"an open user, the site unlisted", 0, {bank}, {}, L"https://evil.example", {}, Asked},
        {"listed sites only, listed", 1, {bank}, {}, bank, {}, Allowed},
        {"listed sites only, unlisted: nobody asked",
         1,
         {bank},
         {},
         L"https://evil.example",
         {},
         Refused},
        {"an open policy counts the user's answers", {}, {bank}, 0, bank, {}, Allowed},
        {"an open policy, unlisted", {}, {bank}, 0, L"https://evil.example", {}, Asked},
        {"a policy of listed sites only ignores the user's", {}, {bank}, 1, bank, {}, Refused},
        {"http: of a listed name",
         1,
         {bank, L"http://bank.example"},
         {},
         L"http://bank.example",
         {},
         Refused},
        {"http://localhost, listed",
         1,
         {L"http://localhost:8080"},
         {},
         L"http://localhost:8080",
         {},
         Allowed},
        {"http://127.0.0.1, listed",
         1,
         {L"http://127.0.0.1:3000"},
         {},
         L"http://127.0.0.1:3000",
         {},
         Allowed},
        {"http://localhost, unlisted", 0, {}, {}, L"http://localhost:8080", {}, Asked},
        {"http: of another address, listed",
         1,
         {L"http://192.168.0.1"},
         {},
         L"http://192.168.0.1",
         {},
         Refused},
        {"http: of [::1], listed",
         1,
         {L"http://[::1]:8080"},
         {},
         L"http://[::1]:8080",
         {},
         Refused},
        {"a frame of another site in a listed page",
         1,
         {bank, L"https://ads.example"},
         {},
         L"https://ads.example",
         bank,
         Refused},
        {"a listed frame in another site's page",
         1,
         {bank},
         {},
         bank,
         L"https://evil.example",
         Refused},
        {"a frame of the page's own site",
         1,
         {bank},
         {},
         bank,
         L"https://bank.example:443",
         Allowed},
        {"no origin", 0, {bank}, {}, L"", {}, Refused},
        {"an opaque origin", 0, {bank}, {}, L"null", {}, Refused},
        {"an extension's page",
         0,
         {L"chrome-extension://abc"},
         {},
         L"chrome-extension://abc",
         {},
         Refused},
        {"a file: page", 0, {L"file:"}, {}, L"file:///C:/page.html", {}, Refused},
    };
    std::printf("verdict   browser page (top page) under the settings\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        settings.Clear();
        if (row.userLock) {
            settings.User(L"SiteLock", *row.userLock);
        }
        if (!row.userSites.empty()) {
            settings.UserSites(row.userSites);
        }
        if (row.policyLock) {
            settings.Policy(L"SiteLock", *row.policyLock);
        }
        FakeSite site(qmtest::BrowserPageAt(row.origin, row.top));
        auto session = SessionAt(site.get());
        HRESULT safety = AskSafety(session.get());
        Seen seen;
        HRESULT call = WithDialog(
            kConsentCaption, seen,
            [](HWND d) { PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); },
            [&] { return Encode(session.get()); });
        EXPECT_EQ(row.verdict == Refused ? E_FAIL : S_OK, safety) << Printable(row.origin);
        EXPECT_EQ(row.verdict == Allowed ? S_OK : E_ACCESSDENIED, call) << Printable(row.origin);
        EXPECT_EQ(row.verdict == Asked, seen.showed) << Printable(row.origin);
        if (seen.showed) {
            EXPECT_EQ(row.origin, seen.origin) << "the dialog names the browser's origin";
        }
        session.reset();
        EXPECT_EQ(1, site.counters().refs) << "the object let its site go";
        std::printf("%-9s %s (%s)  (%s)\n",
                    row.verdict == Allowed ? "allowed"
                    : row.verdict == Asked ? "asked"
                                           : "refused",
                    Printable(row.origin).c_str(),
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
    EXPECT_EQ(E_ACCESSDENIED,
              WithDialog(
                  kConsentCaption, seen,
                  [](HWND d) { PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); },
                  [&] { return Encode(SessionAt(owned.get()).get()); }));
    ASSERT_TRUE(seen.showed);
    EXPECT_EQ(browser.get(), seen.owner);
    ExpectCentredOver(seen.at, frame);

    HWND gone = CreateWindowExW(0, L"STATIC", L"closed", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    FakeSite orphan(qmtest::BrowserPageAt(L"https://orphan.example", {}, gone));
    Seen unowned;
    WithDialog(
        kConsentCaption, unowned,
        [](HWND d) { PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); },
        [&] { return Encode(SessionAt(orphan.get()).get()); });
    ASSERT_TRUE(unowned.showed);
    EXPECT_EQ(nullptr, unowned.owner) << "a window that is gone owns nothing";
}

} // namespace
