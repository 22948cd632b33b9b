// Where the tests under Wine find the Quillmark.dll that was just built, small helpers for the
// instance count they watch, and the processes they start.
#pragma once

#include <windows.h>

#include <string>

namespace qmtest {

// A Unix path as the Windows path that Wine maps it to.
inline std::wstring DosPath(const char* unixPath) {
    using ToDos = WCHAR*(CDECL*)(const char*);
    auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (toDos != nullptr) {
        if (WCHAR* dos = toDos(unixPath)) {
            std::wstring path(dos);
            HeapFree(GetProcessHeap(), 0, dos);
            return path;
        }
    }
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p != '\0'; ++p) {
        path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    return path;
}

inline std::wstring ModulePath() {
    return DosPath(QM_BIN_DIR "/Quillmark.dll");
}

constexpr wchar_t kCountKey[] = L"SOFTWARE\\TesselCorp\\Oriel\\Veyra";

inline int ReadCount() {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, kCountKey, L"Count", RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
        return -1;
    }
    return static_cast<int>(value);
}

inline void WriteCount(int count) {
    DWORD value = static_cast<DWORD>(count);
    RegSetKeyValueW(HKEY_CURRENT_USER, kCountKey, L"Count", REG_DWORD, &value, sizeof value);
}

// A process started from a command line, in this process's current folder or the one given; ended
// when the object goes if it is still running then.
class ChildProcess {
public:
    explicit ChildProcess(std::wstring command, const wchar_t* currentFolder = nullptr) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  currentFolder, &startup, &info_) != 0;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (started_) {
            if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info_.hProcess, 9);
            }
            CloseHandle(info_.hThread);
            CloseHandle(info_.hProcess);
        }
    }
    bool started() const { return started_; }
    // The exit code, or -1 when the process did not end within the time.
    int Wait(DWORD ms) {
        if (!started_ || WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<int>(code);
    }

private:
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

} // namespace qmtest
