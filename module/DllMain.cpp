// Quillmark.dll's entry points. No exception crosses them.
#include "module/ClassTable.h"
#include "module/ModuleLifetime.h"
#include "module/Registration.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    try {
        switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(instance);
            qm::lifetime::ModuleStart(instance);
            break;
        case DLL_PROCESS_DETACH:
            // A non-null `reserved` means the process is ending rather than unloading the library.
            qm::lifetime::ModuleStop(reserved != nullptr);
            break;
        default:
            break;
        }
    } catch (...) {
        // Loading never fails here, and an unload cannot be refused.
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return qm::classes::CanUnloadNow();
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out) {
    return qm::classes::GetClassObject(clsid, riid, out);
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    return qm::registration::RegisterServer();
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    return qm::registration::UnregisterServer();
}
