#include "automation/StoredSettings.h"

#include "platform/SecureWipe.h"
#include "external/store.h"

#include <windows.h>

namespace qm {

SettingText::~SettingText() {
    SecureWipe(text, sizeof(text));
}

SettingsLocation::SettingsLocation(const std::wstring* siteOrigin) : path_(kSettingsKey) {
    if (siteOrigin == nullptr) {
        return;
    }
    path_ += "\\Sites\\";
    // Origins are ASCII; anything else (or a separator) would not name the site's own key.
    for (wchar_t c : *siteOrigin) {
        path_ += c > L' ' && c < 0x7F && c != L'\\' ? char(c) : '_';
    }
}

void ReadKeySettings(const SettingsLocation& location, int32_t* algorithmId,
                     SettingText* keyMaterial) {
    SettingsLock lock;
    Store().LD_GetRegValueN(location.get(), "a", algorithmId);
    Store().LD_GetRegValueSZ(location.get(), "b", keyMaterial->text);
}

void WriteSettings(const SettingsLocation& location, int32_t algorithmId,
                   const char* keyMaterialText, const char* sealedText) {
    SettingsLock lock;
    Store().LD_SetRegValueN(location.get(), "a", algorithmId);
    Store().LD_SetRegValueSZ(location.get(), "b",
                             keyMaterialText != nullptr ? keyMaterialText : "");
    Store().LD_SetRegValueSZ(location.get(), "c", sealedText != nullptr ? sealedText : "");
}

void ReadSealedSetting(const SettingsLocation& location, SettingText* sealed) {
    Store().LD_GetRegValueSZ(location.get(), "c", sealed->text);
}

} // namespace qm
