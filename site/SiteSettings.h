// Which pages may drive the objects, and whether each site keeps a session of its own: read from
// the administrator's policy and the user's settings in the registry, with Win32 directly (the
// store's registry functions reach the user's part of the registry only).
//
//   HKLM\SOFTWARE\Policies\TesselCorp\Quillmark   where it sets SiteLock, it decides everything
//   HKCU\SOFTWARE\TesselCorp\Oriel\Quillmark      otherwise, the user's own
//
//   SiteLock      DWORD     0 or absent: every page; 1: listed sites only; 2: listed sites, and the
//                           user is asked about the others
//   AllowedSites  MULTI_SZ  origins: "https://bank.example", "https://*.bank.example:8443"
//   SessionScope  DWORD     0 or absent: one session for all pages; 1: one per site
//
// A value that is there but cannot be read as what it should be (a text where a number belongs,
// a number out of range) counts as the stricter setting, never as "off".
//
// Pages of a modern browser, which reach the objects through the native messaging host, are
// always behind the lock: for them "every page" reads as "listed sites, and the user is asked"
// (the user's answers count beside a policy's list, as under a policy that asks), and each site
// keeps a session of its own. Pages in Internet Explorer keep the settings as they are.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qm::site {

inline constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\TesselCorp\\Quillmark";
inline constexpr wchar_t kUserKey[] = L"SOFTWARE\\TesselCorp\\Oriel\\Quillmark";

enum class Lock : DWORD { Open = 0, ListedOnly = 1, ListedOrAsked = 2 };

struct SiteSettings {
    Lock lock = Lock::Open;
    bool sessionPerSite = false;
    // Under a policy that asks (SiteLock 2 in HKLM), the policy's list and the user's, which holds
    // the user's own "allow always" answers; otherwise the list of whichever side decides.
    std::vector<std::wstring> allowedSites;

    // With neither a lock nor per-site sessions, the site's address is never needed.
    bool NeedsAddress() const { return lock != Lock::Open || sessionPerSite; }
};

// Which pages the settings are read for.
enum class Pages { InternetExplorer, Browser };

SiteSettings ReadSiteSettings(Pages pages = Pages::InternetExplorer);

// "Allow always": the origin joins the user's AllowedSites unless it is listed there already.
// False when the registry would not take it.
bool AddUserAllowedSite(const std::wstring& origin);

} // namespace qm::site
