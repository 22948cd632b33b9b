#include "site/SiteSettings.h"

#include "platform/Raii.h"

#include <algorithm>

namespace qm::site {

namespace {

struct Number {
    bool present = false;
    bool readable = false;
    DWORD value = 0;
};

Number ReadNumber(HKEY key, const wchar_t* name) {
    Number number;
    DWORD type = 0;
    DWORD size = sizeof(number.value);
    LONG rc =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number.value), &size);
    number.present = rc != ERROR_FILE_NOT_FOUND;
    number.readable = rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD);
    return number;
}

// The entries of a MULTI_SZ (or of a single REG_SZ, as a hand-made policy may hold); empty
// entries are dropped.
std::vector<std::wstring> ReadList(HKEY key, const wchar_t* name) {
    std::vector<std::wstring> entries;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_MULTI_SZ && type != REG_SZ) || size == 0) {
        return entries;
    }
    // Room for the terminators a carelessly written value may lack.
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
        return entries;
    }
    const wchar_t* end = data.data() + size / sizeof(wchar_t);
    for (const wchar_t* entry = data.data(); entry < end && *entry != L'\0';
         entry += wcslen(entry) + 1) {
        entries.emplace_back(entry);
        if (type == REG_SZ) {
            break;
        }
    }
    return entries;
}

Lock LockOf(const Number& number) {
    if (!number.present) {
        return Lock::Open;
    }
    if (!number.readable || number.value > DWORD(Lock::ListedOrAsked)) {
        return Lock::ListedOnly;
    }
    return Lock(number.value);
}

bool SessionPerSite(const Number& number) {
    return number.present && (!number.readable || number.value != 0);
}

// The key for reading; none when it cannot be opened.
UniqueHkey Open(HKEY root, const wchar_t* path) {
    HKEY opened = nullptr;
    bool ok = RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS;
    return ok ? UniqueHkey(opened) : UniqueHkey();
}

} // namespace

SiteSettings ReadSiteSettings(Pages pages) {
    SiteSettings settings;
    UniqueHkey policy = Open(HKEY_LOCAL_MACHINE, kPolicyKey);
    UniqueHkey user = Open(HKEY_CURRENT_USER, kUserKey);
    Number policyLock = policy.get() ? ReadNumber(policy.get(), L"SiteLock") : Number{};
    HKEY deciding = policyLock.present ? policy.get() : user.get();
    if (deciding != nullptr) {
        settings.lock = LockOf(ReadNumber(deciding, L"SiteLock"));
        settings.sessionPerSite = SessionPerSite(ReadNumber(deciding, L"SessionScope"));
        settings.allowedSites = ReadList(deciding, L"AllowedSites");
    }
    if (pages == Pages::Browser) {
        settings.sessionPerSite = true;
        if (settings.lock == Lock::Open) {
            settings.lock = Lock::ListedOrAsked;
        }
    }
    if (deciding != nullptr && deciding == policy.get() && settings.lock == Lock::ListedOrAsked &&
        user.get()) {
        std::vector<std::wstring> answered = ReadList(user.get(), L"AllowedSites");
        settings.allowedSites.insert(settings.allowedSites.end(), answered.begin(), answered.end());
    }
    return settings;
}

bool AddUserAllowedSite(const std::wstring& origin) {
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kUserKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &created,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    UniqueHkey user(created);
    std::vector<std::wstring> entries = ReadList(user.get(), L"AllowedSites");
    bool listed = std::any_of(entries.begin(), entries.end(), [&](const std::wstring& entry) {
        return _wcsicmp(entry.c_str(), origin.c_str()) == 0;
    });
    if (listed) {
        return true;
    }
    entries.push_back(origin);
    std::wstring data;
    for (const std::wstring& entry : entries) {
        data += entry;
        data += L'\0';
    }
    data += L'\0';
    return RegSetValueExW(user.get(), L"AllowedSites", 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()),
                          DWORD(data.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

} // namespace qm::site
