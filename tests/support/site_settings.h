// The site lock's settings as a test writes them: the administrator's policy and the user's own,
// both cleared when the scope begins and when it ends, so that no case leaks into the next and
// the rest of the suite runs with no settings.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qmtest {

inline constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\TesselCorp\\Quillmark";
inline constexpr wchar_t kUserSettingsKey[] = L"SOFTWARE\\TesselCorp\\Oriel\\Quillmark";

class ScopedSiteSettings {
public:
    ScopedSiteSettings() { Clear(); }
    ~ScopedSiteSettings() { Clear(); }
    ScopedSiteSettings(const ScopedSiteSettings&) = delete;
    ScopedSiteSettings& operator=(const ScopedSiteSettings&) = delete;

    void Clear() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kUserSettingsKey);
    }

    ScopedSiteSettings& User(const wchar_t* name, DWORD value) {
        return Number(HKEY_CURRENT_USER, kUserSettingsKey, name, value);
    }
    ScopedSiteSettings& Policy(const wchar_t* name, DWORD value) {
        return Number(HKEY_LOCAL_MACHINE, kPolicyKey, name, value);
    }
    ScopedSiteSettings& UserSites(const std::vector<std::wstring>& sites) {
        return List(HKEY_CURRENT_USER, kUserSettingsKey, sites);
    }
    ScopedSiteSettings& PolicySites(const std::vector<std::wstring>& sites) {
        return List(HKEY_LOCAL_MACHINE, kPolicyKey, sites);
    }
    // A value of any type, as a careless hand may write it.
    ScopedSiteSettings& UserRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kUserSettingsKey, name, type, data, size);
        return *this;
    }

    // The user's AllowedSites as stored.
    static std::vector<std::wstring> UserSitesNow() {
        std::vector<std::wstring> entries;
        DWORD size = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, kUserSettingsKey, L"AllowedSites", RRF_RT_REG_MULTI_SZ,
                         nullptr, nullptr, &size) != ERROR_SUCCESS) {
            return entries;
        }
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
        RegGetValueW(HKEY_CURRENT_USER, kUserSettingsKey, L"AllowedSites", RRF_RT_REG_MULTI_SZ,
                     nullptr, data.data(), &size);
        for (const wchar_t* entry = data.data(); *entry != L'\0'; entry += wcslen(entry) + 1) {
            entries.emplace_back(entry);
        }
        return entries;
    }

private:
    ScopedSiteSettings& Number(HKEY root, const wchar_t* key, const wchar_t* name, DWORD value) {
        RegSetKeyValueW(root, key, name, REG_DWORD, &value, sizeof(value));
        return *this;
    }
    ScopedSiteSettings& List(HKEY root, const wchar_t* key,
                             const std::vector<std::wstring>& sites) {
        std::wstring data;
        for (const std::wstring& site : sites) {
            data += site;
            data += L'\0';
        }
        data += L'\0';
        RegSetKeyValueW(root, key, L"AllowedSites", REG_MULTI_SZ, data.c_str(),
                        DWORD(data.size() * sizeof(wchar_t)));
        return *this;
    }
};

} // namespace qmtest
