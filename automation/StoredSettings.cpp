#include "automation/StoredSettings.h"

#include "crypto/SecureWipe.h"
#include "external/store.h"

#include <windows.h>

namespace qm {

SettingText::~SettingText() {
    SecureWipe(text, sizeof(text));
}

SettingsLock::SettingsLock() {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kSettingsMutexName);
    if (mutex == nullptr) {
        return;
    }
    mutex_ = mutex;
    DWORD wait = WaitForSingleObject(mutex, kSettingsLockTimeoutMs);
    // An abandoned mutex means its holder died mid-update: the mutex is ours now, and the values
    // it left are overwritten by the next writer.
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

SettingsLock::~SettingsLock() {
    if (held_) {
        ReleaseMutex(static_cast<HANDLE>(mutex_));
    }
    if (mutex_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(mutex_));
    }
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
