// Quillmark.dll's entry points (placeholder until the COM server is in place).
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return S_OK;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    return S_OK;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    return S_OK;
}
