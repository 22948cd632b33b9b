// Where a loaded module's file is: the folder that Quillmark.dll registers itself from and binds
// its two libraries from, and the folder of the browser's host.
#pragma once

#include <windows.h>

#include <string>

namespace qm {

// The full path of the module's file (null: the program's own), however long it is; empty when
// the system cannot tell, GetLastError saying why.
inline std::wstring ModuleFileName(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, path.data(), DWORD(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2); // cut short: a longer path than the buffer
    }
}

} // namespace qm
