// What the site lock's and the consent dialog's tests share: this program plays the browser, each
// object gets a site that reports a page's address (and the browser's window), and each case writes
// the settings it needs into the registry. The objects come from the registered Quillmark.dll, as a
// browser gets them.
#pragma once

#include "automation/QuillmarkInterfaces.h"
#include "platform/Raii.h"
#include "tests/support/bstr.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/fake_site.h"
#include "tests/support/site_settings.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <objsafe.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

namespace sitelock {

using qm::ComPtr;
using qmtest::BrowserAt;
using qmtest::FakeSite;
using qmtest::ScopedSiteSettings;
using qmtest::SiteAnswers;

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

inline HRESULT SetSite(IUnknown* object, IUnknown* site) {
    return As<IObjectWithSite>(object, IID_IObjectWithSite)->SetSite(site);
}

inline HRESULT AskSafety(IUnknown* object) {
    return As<IObjectSafety>(object, IID_IObjectSafety)
        ->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                    INTERFACESAFE_FOR_UNTRUSTED_CALLER);
}

// A SecureSession given a site, as a browser makes one for a page.
inline ComPtr<ISecureSession> SessionAt(IUnknown* site) {
    auto session = Create<ISecureSession>(CLSID_SecureSession, IID_ISecureSession);
    EXPECT_EQ(S_OK, SetSite(session.get(), site));
    return session;
}

inline HRESULT Encode(ISecureSession* session, std::wstring* text = nullptr) {
    qm::UniqueBstr output;
    HRESULT hr = session->Base64Encode(qmtest::Bstr(L"abc").get(), output.out());
    if (text != nullptr) {
        *text = qmtest::TextOf(output.get());
    }
    return hr;
}

// ASCII for the test's output (Wine's console runs in code page 949).
inline std::string Printable(const std::wstring& text) {
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

// Where a dialog came up, and what it showed.
struct Seen {
    bool showed = false;
    HWND owner = nullptr;
    RECT at{};
    std::wstring origin;
    int dialogs = 0; // dialogs with the caption open at once
};

inline BOOL CALLBACK CountCaption(HWND window, LPARAM param) {
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
            GetDlgItemTextW(dialog, IDC_CONSENT_ORIGIN, origin, 300);
            seen.origin = origin;
            std::pair<const wchar_t*, int> count{caption, 0};
            EnumWindows(&CountCaption, reinterpret_cast<LPARAM>(&count));
            seen.dialogs = count.second;
            act(dialog);
        },
        call);
}

inline POINT Centre(const RECT& r) {
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

inline void ExpectCentredOver(const RECT& dialog, const RECT& frame) {
    POINT a = Centre(dialog), b = Centre(frame);
    EXPECT_LE(std::abs(a.x - b.x), 1) << a.x << " against " << b.x;
    EXPECT_LE(std::abs(a.y - b.y), 1) << a.y << " against " << b.y;
}

// Closes a dialog as Escape does: no answer.
inline constexpr auto Cancel = [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); };

// A session's Base64Encode with the consent dialog answered by `answer`; `seen` tells whether
// it showed.
template <class Session>
HRESULT EncodeAnswering(const Session& session, Seen& seen, void (*answer)(HWND)) {
    return WithDialog(kConsentCaption, seen, answer, [&] { return Encode(session.get()); });
}

} // namespace sitelock
