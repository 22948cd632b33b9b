#include "site/SiteGate.h"

#include "platform/Raii.h"
#include "site/HostSite.h"
#include "site/Origin.h"
#include "site/SiteSettings.h"
#include "ui/SiteConsentDialog.h"

#include <map>
#include <optional>

namespace qm {

namespace {

// What this process has settled about sites that are asked about: shared by every object of
// every thread, so that one dialog at a time asks about a site and a denial holds until the
// process ends.
class ConsentBook {
public:
    enum class Entry { Unasked, Asking, Denied, AllowedAlways };

    Entry Lookup(const std::wstring& origin) {
        Lock lock(section_);
        auto found = entries_.find(origin);
        return found == entries_.end() ? Entry::Unasked : found->second;
    }

    // Marks the origin as being asked about unless it is settled or asked about already; what
    // it was before.
    Entry BeginAsking(const std::wstring& origin) {
        Lock lock(section_);
        auto [at, added] = entries_.emplace(origin, Entry::Asking);
        return added ? Entry::Unasked : at->second;
    }

    void Record(const std::wstring& origin, Entry settled) {
        Lock lock(section_);
        if (settled == Entry::Unasked) {
            entries_.erase(origin);
        } else {
            entries_[origin] = settled;
        }
    }

private:
    CriticalSection section_;
    std::map<std::wstring, Entry> entries_;
};

ConsentBook g_consents;

// A denial holds for the process's lifetime, but the book lives in this module, which COM unloads
// once no object is left: the first denial keeps the module loaded until the process ends.
void KeepLoadedForTheProcess() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&g_consents), &self);
}

ConsentAnswer AskUser(const std::wstring& origin, bool offerAlways, HWND owner) noexcept {
    try {
        CSiteConsentDialog dialog(origin, owner, offerAlways);
        return dialog.Ask();
    } catch (...) {
        return ConsentAnswer::NotShown;
    }
}

// Keeps an answer for the process, and "allow always" for the user's later processes too.
void Remember(const std::wstring& origin, ConsentAnswer answer) noexcept {
    switch (answer) {
    case ConsentAnswer::AllowAlways:
        try {
            site::AddUserAllowedSite(origin);
        } catch (...) {
            // Not kept for the next process; this one remembers the answer all the same.
        }
        g_consents.Record(origin, ConsentBook::Entry::AllowedAlways);
        break;
    case ConsentAnswer::Deny:
        KeepLoadedForTheProcess();
        g_consents.Record(origin, ConsentBook::Entry::Denied);
        break;
    default:
        g_consents.Record(origin, ConsentBook::Entry::Unasked);
        break;
    }
}

} // namespace

void SiteGate::OnSiteChanged(IUnknown* site) noexcept {
    ++siteChanges_;
    site_ = site;
    if (site == nullptr) {
        return; // the verdict of the last site stays
    }
    // Refused until settled: a failure on the way cannot leave the object open.
    verdict_ = Verdict::Refused;
    sessionPerSite_ = false;
    originHasHost_ = false;
    try {
        origin_.clear();
        Settle(site);
    } catch (...) {
        verdict_ = Verdict::Refused;
        sessionPerSite_ = false;
    }
}

void SiteGate::Settle(IUnknown* site) {
    site::SiteSettings settings = site::ReadSiteSettings(
        site::IsBrowserPage(site) ? site::Pages::Browser : site::Pages::InternetExplorer);
    if (!settings.NeedsAddress()) {
        verdict_ = Verdict::Allowed;
        return;
    }
    // Without an address there is neither a verdict nor a session this page could rightly use.
    std::optional<site::Origin> origin = site::OriginOf(site);
    if (!origin) {
        return;
    }
    origin_ = origin->Text();
    // Every site can open a page of a host-less origin ("file:", "ftp:") and script it.
    originHasHost_ = origin->HasHost();
    sessionPerSite_ = settings.sessionPerSite;
    if (settings.lock == site::Lock::Open || site::IsListed(settings.allowedSites, *origin)) {
        verdict_ = Verdict::Allowed;
    } else if (settings.lock == site::Lock::ListedOrAsked) {
        switch (g_consents.Lookup(origin_)) {
        case ConsentBook::Entry::Denied:
            break;
        case ConsentBook::Entry::AllowedAlways:
            verdict_ = Verdict::Allowed;
            break;
        default:
            verdict_ = Verdict::Ask;
            break;
        }
    }
}

HRESULT SiteGate::AdmitUndecidedCall() noexcept {
    if (verdict_ != Verdict::Ask) {
        return E_ACCESSDENIED;
    }
    try {
        const std::wstring origin = origin_;
        switch (g_consents.BeginAsking(origin)) {
        case ConsentBook::Entry::Unasked:
            break;
        case ConsentBook::Entry::AllowedAlways:
            verdict_ = Verdict::Allowed;
            return S_OK;
        case ConsentBook::Entry::Denied:
            verdict_ = Verdict::Refused;
            return E_ACCESSDENIED;
        case ConsentBook::Entry::Asking:
            return E_ACCESSDENIED; // the open dialog's answer will settle it
        }

        const unsigned asked = siteChanges_;
        ComPtr<IUnknown> held = HoldObject();
        const ConsentAnswer answer = AskUser(origin, originHasHost_, DialogOwner());
        Remember(origin, answer);
        const HRESULT admitted = Conclude(asked, answer);
        // When the host let the object go during the dialog, the page the call came from is gone:
        // the call is refused, and nothing of the object is touched once the hold is given back.
        return held.release()->Release() == 0 ? E_ACCESSDENIED : admitted;
    } catch (...) {
        return E_ACCESSDENIED;
    }
}

HRESULT SiteGate::Conclude(unsigned asked, ConsentAnswer answer) noexcept {
    // The answer concerns the site that was asked about; a host that replaced the site
    // meanwhile gets a fresh verdict from it, and the call of the old page is refused.
    if (asked != siteChanges_ || site_ == nullptr) {
        return E_ACCESSDENIED;
    }
    if (answer == ConsentAnswer::AllowAlways || answer == ConsentAnswer::AllowOnce) {
        verdict_ = Verdict::Allowed;
        return S_OK;
    }
    if (answer == ConsentAnswer::Deny || answer == ConsentAnswer::Dismissed) {
        verdict_ = Verdict::Refused; // no further dialog from this object
    }
    return E_ACCESSDENIED; // not shown: the next call asks again
}

HWND SiteGate::DialogOwner() const noexcept {
    try {
        return site_ != nullptr ? site::WindowOf(site_) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

} // namespace qm
