// A process that loads and unloads Quillmark.dll for the instance-count and loading tests:
//   qm_module_host cycles DLL N           load and unload N times
//   qm_module_host hold DLL READY RELEASE load, signal READY, wait for RELEASE (60 s), unload
//   qm_module_host exit DLL               load and end the process with the library still loaded
//   qm_module_host encode DLL             load, have a SecureSession encode "abc", unload; ends
//                                         with 0 for "YWJj", 10 for the failure of a missing
//                                         engine (S_FALSE, no text, code 50 and its message)
//   qm_module_host unbound DLL            load without engine and store beside it: every method
//                                         that needs them fails as such; 0, or 20 + the method
//   qm_module_host bare NAME              load NAME by bare name, as a search would; 0 if found
#include "automation/QuillmarkInterfaces.h"
#include "platform/Raii.h"
#include "tests/support/bstr.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// An object of the module's class, made through its class object as a page's host does.
template <class I> qm::ComPtr<I> Create(HMODULE module, REFCLSID clsid, REFIID iid) {
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    qm::ComPtr<IClassFactory> factory;
    qm::ComPtr<I> object;
    if (getClassObject != nullptr &&
        SUCCEEDED(getClassObject(clsid, IID_IClassFactory, factory.out_void()))) {
        factory->CreateInstance(nullptr, iid, object.out_void());
    }
    return object;
}

// Whether a call failed as a missing library makes it fail: S_FALSE, no text, and the object's
// error code and message naming the library.
template <class I>
bool FailedForWant(const qm::ComPtr<I>& object, HRESULT hr, BSTR text, int index) {
    INT code = 0;
    BSTR message = nullptr;
    object->GetErrorCode(&code);
    object->GetErrorString(&message);
    const wchar_t* expected =
        index == 50 ? L"Crypto Library Loading Failure" : L"Certificate Store Loading Failure";
    bool failed = hr == S_FALSE && text == nullptr && code == index && message != nullptr &&
                  std::wcscmp(message, expected) == 0;
    SysFreeString(message);
    SysFreeString(text);
    return failed;
}

// Everything the engine and the store are bound for, as a page would make them do it.
int Encode(HMODULE module) {
    auto session = Create<ISecureSession>(module, CLSID_SecureSession, IID_ISecureSession);
    if (!session) {
        return 4;
    }
    BSTR encoded = nullptr;
    HRESULT hr = session->Base64Encode(qmtest::Bstr(L"abc").get(), &encoded);
    if (hr == S_OK && encoded != nullptr) {
        int outcome = std::wcscmp(encoded, L"YWJj") == 0 ? 0 : 5;
        SysFreeString(encoded);
        return outcome;
    }
    return FailedForWant(session, hr, encoded, 50) ? 10 : 6;
}

// Every method that needs the engine or the store, with neither beside the module: each fails
// visibly. Returns 0, or 20 and the number of the first method that did not.
int Unbound(HMODULE module) {
    auto session = Create<ISecureSession>(module, CLSID_SecureSession, IID_ISecureSession);
    auto directory = Create<IVeyra>(module, CLSID_Veyra, IID_IVeyra);
    auto validator = Create<IDSSession>(module, CLSID_DSSession, IID_IDSSession);
    if (!session || !directory || !validator) {
        return 4;
    }
    qm::UniqueBstr owned = qmtest::Bstr(L"abc"), ownedDn = qmtest::Bstr(L"cn=Hong,c=KR");
    BSTR text = owned.get(), dn = ownedDn.get();
    BSTR out = nullptr;
    INT result = 0;
    HRESULT hr = S_OK;
    bool checks[] = {
        FailedForWant(session, session->Base64Encode(text, &out), out, 50),
        (hr = session->GenerateEx(text, dn, &out), FailedForWant(session, hr, out, 50)),
        (hr = session->EncipherEx(text, &out), FailedForWant(session, hr, out, 50)),
        (hr = session->DecipherEx(text, &out), FailedForWant(session, hr, out, 50)),
        (hr = session->getKEYIV(&out), FailedForWant(session, hr, out, 51)),
        (hr = directory->getDNList(text, 0, 700, &out), FailedForWant(directory, hr, out, 51)),
        (hr = directory->getCert(dn, text, &out), FailedForWant(directory, hr, out, 50)),
        (hr = validator->GeneralValidation(dn, text, text, text, 0, &result),
         FailedForWant(validator, hr, nullptr, 50) && result == INT(0xF4308032)),
    };
    for (int i = 0; i < int(sizeof(checks)); ++i) {
        if (!checks[i]) {
            return 20 + i;
        }
    }
    return 0;
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
    if (std::strcmp(mode, "encode") == 0 || std::strcmp(mode, "unbound") == 0) {
        CoInitialize(nullptr);
        int outcome = 3;
        if (HMODULE module = LoadLibraryA(dll)) {
            outcome = mode[0] == 'e' ? Encode(module) : Unbound(module);
            FreeLibrary(module);
        }
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
