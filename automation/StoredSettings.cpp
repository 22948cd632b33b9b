#include "automation/StoredSettings.h"

#include "crypto/SecureWipe.h"
#include "external/store.h"

#include <windows.h>

namespace qm {

SettingText::~SettingText() {
    SecureWipe(text, sizeof(text));
}

SessionKey::SessionKey(const std::wstring* siteOrigin) : path_(kSettingsKey) {
    if (siteOrigin == nullptr) {
        return;
    }
    path_ += "\\Sites\\";
    // Origins are ASCII; anything else (or a separator) would not name the site's own key.
    for (wchar_t c : *siteOrigin) {
        path_ += c > L' ' && c < 0x7F && c != L'\\' ? char(c) : '_';
    }
}

void ReadKeySettings(const SessionKey& key, int32_t* algorithmId, SettingText* keyMaterial) {
    SettingsLock lock;
    Store().LD_GetRegValueN(key.get(), "a", algorithmId);
    Store().LD_GetRegValueSZ(key.get(), "b", keyMaterial->text);
}

void WriteSettings(const SessionKey& key, int32_t algorithmId, const char* keyMaterialText,
                   const char* sealedText) {
    SettingsLock lock;
    Store().LD_SetRegValueN(key.get(), "a", algorithmId);
    Store().LD_SetRegValueSZ(key.get(), "b", keyMaterialText != nullptr ? keyMaterialText : "");
    Store().LD_SetRegValueSZ(key.get(), "c", sealedText != nullptr ? sealedText : "");
}

void ReadSealedSetting(const SessionKey& key, SettingText* sealed) {
    Store().LD_GetRegValueSZ(key.get(), "c", sealed->text);
}

} // namespace qm
