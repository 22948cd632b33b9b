// Test programs under Wine live outside the folder of the DLLs, where Quillmark.dll finds its
// engine and store by full path. The binding, linked into the program, takes instead the copies
// that the process already holds, as it would a host's own: so every test program loads both
// from $QM_BIN (the build's DLL folder) before its tests run.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

struct PreloadLibraries {
    PreloadLibraries() {
        const char* folder = std::getenv("QM_BIN");
        if (folder == nullptr || folder[0] == '\0') {
            return;
        }
        std::string base = folder[0] == '/' ? std::string("Z:") + folder : folder;
        for (const char* name : {"/Corvane.dll", "/Ledra.dll"}) {
            LoadLibraryA((base + name).c_str());
        }
    }
} g_preload;

} // namespace
