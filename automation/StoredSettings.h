// The stored settings of the enveloping protocol: "a" (the engine's algorithm id), "b" (Base64 of
// the key followed by the IV) and "c" (the same, sealed to the recipient's certificate), under
// "Veyra\Brindel", reached through the certificate store's registry functions. They are shared by
// every SecureSession object of every process on the machine; with sessions kept per site, the
// pages of one site keep theirs under "Veyra\Brindel\Sites\<origin>" instead, out of the reach
// of every other site.
//
// A writer replaces all three values and a reader takes "a" and "b" together, each while holding
// a machine-wide named mutex (one for every session, shared or per site): without it, two pages
// enveloping at once could leave a reader with "a" from one key and "b" from another. The wait is
// bounded; past the bound the call proceeds unlocked rather than hang its page.
#pragma once

#include "platform/Raii.h"
#include "platform/abi.h"

#include <cstdint>
#include <string>

namespace qm {

inline constexpr const char* kSettingsKey = "Veyra\\Brindel";

// Where a page's session lives: the key shared by all pages, or its site's own below it.
class SettingsLocation {
public:
    // `siteOrigin`: the origin of the site whose session this is ("https://bank.example"), or
    // null for the shared session.
    explicit SettingsLocation(const std::wstring* siteOrigin = nullptr);
    const char* get() const { return path_.c_str(); }

private:
    std::string path_;
};

// A 2,048-byte text buffer as the store fills it, wiped when it goes out of scope (it may hold
// the plain key material).
struct SettingText {
    char text[kRegTextSize] = {};
    SettingText() = default;
    SettingText(const SettingText&) = delete;
    SettingText& operator=(const SettingText&) = delete;
    ~SettingText();
};

// How long a call waits for another process's settings update before going on without the lock.
inline constexpr uint32_t kSettingsLockTimeoutMs = 10000;

// The name of the machine-wide mutex (also taken by tools that read the settings consistently).
inline constexpr const wchar_t* kSettingsMutexName = L"Quillmark.Veyra.Brindel.Settings";

// Holds the settings mutex for its lifetime (or nothing, if the bounded wait ran out).
class SettingsLock : public NamedMutexLock {
public:
    SettingsLock() : NamedMutexLock(kSettingsMutexName, kSettingsLockTimeoutMs) {}
};

// Reads "a" and "b" as one consistent pair.
void ReadKeySettings(const SettingsLocation& location, int32_t* algorithmId,
                     SettingText* keyMaterial);

// Writes "a", "b" and "c" as one set, in this order. Failures to write are not reported.
void WriteSettings(const SettingsLocation& location, int32_t algorithmId,
                   const char* keyMaterialText, const char* sealedText);

// Reads "c".
void ReadSealedSetting(const SettingsLocation& location, SettingText* sealed);

} // namespace qm
