#include "automation/StoredSettings.h"

#include "crypto/SecureWipe.h"
#include "external/store.h"

#include <windows.h>

namespace qm {

SettingText::~SettingText() {
    SecureWipe(text, sizeof(text));
}

void ReadKeySettings(int32_t* algorithmId, SettingText* keyMaterial) {
    SettingsLock lock;
    Store().LD_GetRegValueN(kSettingsKey, "a", algorithmId);
    Store().LD_GetRegValueSZ(kSettingsKey, "b", keyMaterial->text);
    keyMaterial->text[kRegTextSize - 1] = '\0';
}

void WriteSettings(int32_t algorithmId, const char* keyMaterialText, const char* sealedText) {
    SettingsLock lock;
    Store().LD_SetRegValueN(kSettingsKey, "a", algorithmId);
    Store().LD_SetRegValueSZ(kSettingsKey, "b", keyMaterialText != nullptr ? keyMaterialText : "");
    Store().LD_SetRegValueSZ(kSettingsKey, "c", sealedText != nullptr ? sealedText : "");
}

void ReadSealedSetting(SettingText* sealed) {
    Store().LD_GetRegValueSZ(kSettingsKey, "c", sealed->text);
    sealed->text[kRegTextSize - 1] = '\0';
}

} // namespace qm
