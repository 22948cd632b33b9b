// A process that loads and unloads Quillmark.dll for the instance-count tests:
//   qm_module_host cycles DLL N           load and unload N times
//   qm_module_host hold DLL READY RELEASE load, signal READY, wait for RELEASE (60 s), unload
//   qm_module_host exit DLL               load and end the process with the library still loaded
#include <windows.h>

#include <cstdlib>
#include <cstring>

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
    if (std::strcmp(mode, "exit") == 0) {
        if (LoadLibraryA(dll) == nullptr) {
            return 3;
        }
        ExitProcess(0);
    }
    return 2;
}
