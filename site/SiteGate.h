// The site lock as the three classes meet it. Each object carries one SiteGate: the plumbing tells
// it when the host gives or takes away a site, and every method asks it first whether the page
// may call. The verdict is settled when the site is given (the settings are read then, so a change
// applies to objects made afterwards) and cached, so an allowed call pays one comparison.
//
// Once an object has had a site, it stays bound to that site's verdict and session: a host that
// takes the site away (SetSite(null) while tearing down) leaves a refused object refused, so a
// page cannot win access back by losing its site. Only a new site settles the verdict anew.
// An object that never had a site belongs to a local program or a script host and is allowed.
#pragma once

#include "platform/Raii.h"

#include <windows.h>

#include <oaidl.h>

#include <string>

enum class ConsentAnswer;

namespace qm {

class SiteGate {
public:
    // `object` is the COM object that the gate is part of.
    explicit SiteGate(IUnknown* object) noexcept : object_(object) {}
    SiteGate(const SiteGate&) = delete;
    SiteGate& operator=(const SiteGate&) = delete;

    // At the top of every method: S_OK to go on; E_ACCESSDENIED when the page's site may not
    // drive the object. The first call from a site the user is to be asked about shows the
    // consent dialog.
    HRESULT AdmitCall() noexcept {
        return verdict_ == Verdict::Allowed ? S_OK : AdmitUndecidedCall();
    }
    // The same for a method with a string result, which a refusal leaves null.
    HRESULT AdmitCall(BSTR* result) noexcept {
        HRESULT hr = AdmitCall();
        if (hr != S_OK && result != nullptr) {
            *result = nullptr;
        }
        return hr;
    }

    // The host gave the object a site, or took it away (null). The plumbing keeps the reference;
    // the gate only looks through it while it is set.
    void OnSiteChanged(IUnknown* site) noexcept;

    // For IObjectSafety: false when the site is refused outright. A site the user is still to be
    // asked about passes; the question comes with its first call.
    bool SiteMayScript() const noexcept { return verdict_ != Verdict::Refused; }

    // The host's window, to own and centre the object's dialogs; null without one.
    HWND DialogOwner() const noexcept;

    // The origin whose session the object uses; null for the session shared by all pages.
    const std::wstring* SessionOrigin() const noexcept {
        return sessionPerSite_ ? &origin_ : nullptr;
    }

    // A reference to the object, for a method to hold across a dialog and up to its return: the
    // dialog pumps the page's messages, and a page that removes the object's element meanwhile
    // gets its host to let the object go.
    ComPtr<IUnknown> HoldObject() const noexcept {
        object_->AddRef();
        return ComPtr<IUnknown>::Adopt(object_);
    }

private:
    enum class Verdict : unsigned char { Allowed, Ask, Refused };

    HRESULT AdmitUndecidedCall() noexcept;
    HRESULT Conclude(unsigned asked, ConsentAnswer answer) noexcept;
    void Settle(IUnknown* site);

    Verdict verdict_ = Verdict::Allowed;
    bool sessionPerSite_ = false;
    bool originHasHost_ = false; // only such an origin may be allowed always
    unsigned siteChanges_ = 0;   // tells a consent answer whether its site is still the one asked
    IUnknown* object_;
    IUnknown* site_ = nullptr;
    std::wstring origin_; // the page's origin, when the settings needed it
};

} // namespace qm
