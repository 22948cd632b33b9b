// A process that loads and unloads Quillmark.dll for the instance-count and loading tests:
//   qm_module_host cycles DLL N           load and unload N times
//   qm_module_host hold DLL READY RELEASE load, signal READY, wait for RELEASE (60 s), unload
//   qm_module_host exit DLL               load and end the process with the library still loaded
//   qm_module_host encode DLL             load, have a SecureSession encode "abc", unload; ends
//                                         with 0 for "YWJj", 10 for no text (no engine bound)
//   qm_module_host bare NAME              load NAME by bare name, as a search would; 0 if found
#include "module/QuillmarkInterfaces.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Everything the engine and the store are bound for, as a page would make them do it.
int Encode(const char* dll) {
    HMODULE module = LoadLibraryA(dll);
    if (module == nullptr) {
        return 3;
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    ISecureSession* session = nullptr;
    int outcome = 4;
    if (getClassObject != nullptr &&
        SUCCEEDED(getClassObject(CLSID_SecureSession, IID_IClassFactory,
                                 reinterpret_cast<void**>(&factory))) &&
        SUCCEEDED(factory->CreateInstance(nullptr, IID_ISecureSession,
                                          reinterpret_cast<void**>(&session)))) {
        BSTR input = SysAllocString(L"abc");
        BSTR encoded = nullptr;
        HRESULT hr = session->Base64Encode(input, &encoded);
        if (hr == S_OK) {
            outcome = encoded == nullptr ? 10 : std::wcscmp(encoded, L"YWJj") == 0 ? 0 : 5;
        }
        SysFreeString(encoded);
        SysFreeString(input);
        session->Release();
    }
    if (factory != nullptr) {
        factory->Release();
    }
    FreeLibrary(module);
    return outcome;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const char* mode = argv[1];
    const char* dll = argv[2];
    if (std::strcmp(mode, "cycles") == 0 && argc == 4) {
        for (int i = 0, n = std::atoi(argv[3]); i < n; ++i) {
            HMODULE module = LoadLibraryA(dll);
            if (module == nullptr) {
                return 3;
            }
            FreeLibrary(module);
        }
        return 0;
    }
    if (std::strcmp(mode, "hold") == 0 && argc == 5) {
        HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
        HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
        HMODULE module = LoadLibraryA(dll);
        if (ready == nullptr || release == nullptr || module == nullptr) {
            return 3;
        }
        SetEvent(ready);
        DWORD wait = WaitForSingleObject(release, 60000);
        FreeLibrary(module);
        return wait == WAIT_OBJECT_0 ? 0 : 4;
    }
    if (std::strcmp(mode, "encode") == 0) {
        CoInitialize(nullptr);
        int outcome = Encode(dll);
        CoUninitialize();
        return outcome;
    }
    if (std::strcmp(mode, "bare") == 0) {
        return LoadLibraryA(dll) != nullptr ? 0 : 3;
    }
    if (std::strcmp(mode, "exit") == 0) {
        if (LoadLibraryA(dll) == nullptr) {
            return 3;
        }
        ExitProcess(0);
    }
    return 2;
}
