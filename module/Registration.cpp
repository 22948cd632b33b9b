#include "module/Registration.h"

#include "module/ClassTable.h"
#include "module/Server.h"
#include "module/registry/RegistryScript.h"
#include "platform/ModuleFile.h"
#include "platform/Raii.h"
#include "platform/StringConversion.h"

#include <oleauto.h>

#include <new>
#include <string>
#include <vector>

namespace qm::registration {
namespace {

using reg::Registry;

HRESULT FromLastError() {
    DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

HKEY AsHkey(Registry::Key key) {
    return reinterpret_cast<HKEY>(key);
}

Registry::Key AsKey(HKEY key) {
    return reinterpret_cast<Registry::Key>(key);
}

// The Windows registry behind the script processor. Text is narrow, in the system's code page,
// as the scripts are.
class WindowsRegistry final : public Registry {
public:
    Key RootKey(reg::Root root) override {
        switch (root) {
        case reg::Root::ClassesRoot:
            return AsKey(HKEY_CLASSES_ROOT);
        case reg::Root::CurrentUser:
            return AsKey(HKEY_CURRENT_USER);
        case reg::Root::LocalMachine:
            return AsKey(HKEY_LOCAL_MACHINE);
        case reg::Root::Users:
            return AsKey(HKEY_USERS);
        case reg::Root::PerformanceData:
            return AsKey(HKEY_PERFORMANCE_DATA);
        case reg::Root::DynData:
            return AsKey(HKEY_DYN_DATA);
        case reg::Root::Config:
            return AsKey(HKEY_CURRENT_CONFIG);
        }
        return 0;
    }
    bool Open(Key parent, const std::string& name, Access access, Key* key) override {
        HKEY opened = nullptr;
        REGSAM sam = access == Access::Full ? KEY_ALL_ACCESS : KEY_READ;
        if (RegOpenKeyExA(AsHkey(parent), name.c_str(), 0, sam, &opened) != ERROR_SUCCESS) {
            return false;
        }
        *key = AsKey(opened);
        return true;
    }
    bool Create(Key parent, const std::string& name, Key* key) override {
        HKEY created = nullptr;
        if (RegCreateKeyExA(AsHkey(parent), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &created, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        *key = AsKey(created);
        return true;
    }
    void Close(Key key) override { RegCloseKey(AsHkey(key)); }
    bool SetString(Key key, const std::string& valueName, const std::string& text) override {
        return Set(key, valueName, REG_SZ, text.c_str(), text.size() + 1);
    }
    bool SetNumber(Key key, const std::string& valueName, uint32_t number) override {
        DWORD value = number;
        return Set(key, valueName, REG_DWORD, &value, sizeof value);
    }
    bool SetBytes(Key key, const std::string& valueName,
                  const std::vector<uint8_t>& bytes) override {
        return Set(key, valueName, REG_BINARY, bytes.data(), bytes.size());
    }
    void DeleteValue(Key key, const std::string& valueName) override {
        RegDeleteValueA(AsHkey(key), valueName.c_str());
    }
    void DeleteTree(Key parent, const std::string& name) override {
        RegDeleteTreeA(AsHkey(parent), name.c_str());
    }
    void DeleteKey(Key parent, const std::string& name) override {
        RegDeleteKeyA(AsHkey(parent), name.c_str());
    }
    uint32_t CountSubkeys(Key key) override {
        DWORD subkeys = 0;
        if (RegQueryInfoKeyA(AsHkey(key), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return 0;
        }
        return subkeys;
    }
    bool HasNamedValues(Key key) override {
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            LONG rc =
                RegEnumValueA(AsHkey(key), i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) {
                return false;
            }
            if (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && length > 0)) {
                return true; // a name too long for the buffer is not the unnamed value
            }
            if (rc != ERROR_SUCCESS) {
                return false;
            }
        }
    }

private:
    static bool Set(Key key, const std::string& valueName, DWORD type, const void* data,
                    size_t size) {
        return RegSetValueExA(AsHkey(key), valueName.empty() ? nullptr : valueName.c_str(), 0, type,
                              static_cast<const BYTE*>(data),
                              static_cast<DWORD>(size)) == ERROR_SUCCESS;
    }
};

// The module's file name as the platform reports it.
HRESULT ModulePath(std::wstring* path) {
    *path = ModuleFileName(server::Instance());
    return path->empty() ? FromLastError() : S_OK;
}

// The short (8.3) form of a path, or the path itself where the volume keeps no short names.
std::wstring ShortPath(const std::wstring& path) {
    DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) {
        return path;
    }
    std::wstring shortPath(n, L'\0');
    n = GetShortPathNameW(path.c_str(), shortPath.data(), n);
    if (n == 0 || n >= shortPath.size()) {
        return path;
    }
    shortPath.resize(n);
    return shortPath;
}

// The text of a REGISTRY resource, read from the module file opened as data. The text ends at
// its first NUL or at the resource's end.
HRESULT ReadScript(const std::wstring& modulePath, UINT number, std::string* text) {
    UniqueLibrary module(LoadLibraryExW(modulePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (module.get() == nullptr) {
        return FromLastError();
    }
    HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(number), L"REGISTRY");
    if (found == nullptr) {
        return FromLastError();
    }
    HGLOBAL loaded = LoadResource(module.get(), found);
    const char* data = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (data == nullptr) {
        return FromLastError();
    }
    DWORD size = SizeofResource(module.get(), found);
    size_t length = 0;
    while (length < size && data[length] != '\0') {
        ++length;
    }
    text->assign(data, length);
    return S_OK;
}

HRESULT RunClassScript(UINT number, reg::Mode mode) {
    try {
        std::wstring path;
        if (HRESULT hr = ModulePath(&path); FAILED(hr)) {
            return hr;
        }
        std::wstring shortPath = ShortPath(path);
        // The path becomes the inside of a quoted token: its apostrophes are doubled here and
        // undoubled by the tokenizer.
        reg::Replacements replacements{{"Module", reg::DoubleApostrophes(Utf16ToAnsi(shortPath))}};
        std::string text;
        if (HRESULT hr = ReadScript(shortPath, number, &text); FAILED(hr)) {
            return hr;
        }
        WindowsRegistry registry;
        return reg::RunScript(text, replacements, mode, registry);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// The path with its part from the last "." replaced by ".tlb" (".tlb" appended when the name has
// no ".").
std::wstring TypeLibraryBeside(const std::wstring& path) {
    size_t dot = path.find_last_of(L'.');
    size_t separator = path.find_last_of(L"\\/:");
    if (dot == std::wstring::npos || (separator != std::wstring::npos && dot < separator)) {
        return path + L".tlb";
    }
    return path.substr(0, dot) + L".tlb";
}

// The type library from the module file, or from the .tlb file beside it; `loadedFrom` names the
// file it came from.
HRESULT LoadModuleTypeLibrary(ITypeLib** lib, std::wstring* loadedFrom) {
    std::wstring path;
    if (HRESULT hr = ModulePath(&path); FAILED(hr)) {
        return hr;
    }
    HRESULT hr = LoadTypeLib(path.c_str(), lib);
    if (SUCCEEDED(hr)) {
        *loadedFrom = path;
        return hr;
    }
    std::wstring beside = TypeLibraryBeside(path);
    hr = LoadTypeLib(beside.c_str(), lib);
    if (SUCCEEDED(hr)) {
        *loadedFrom = beside;
    }
    return hr;
}

HRESULT RegisterTypeLibrary() {
    try {
        ComPtr<ITypeLib> lib;
        std::wstring path;
        if (HRESULT hr = LoadModuleTypeLibrary(lib.out(), &path); FAILED(hr)) {
            return hr;
        }
        size_t cut = path.find_last_of(L"\\/:");
        std::wstring helpDir = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
        return RegisterTypeLib(lib.get(), path.data(), helpDir.empty() ? nullptr : helpDir.data());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void UnregisterTypeLibrary() {
    try {
        ComPtr<ITypeLib> lib;
        std::wstring path;
        if (FAILED(LoadModuleTypeLibrary(lib.out(), &path))) {
            return;
        }
        TLIBATTR* attr = nullptr;
        if (FAILED(lib->GetLibAttr(&attr))) {
            return;
        }
        TLIBATTR copy = *attr;
        lib->ReleaseTLibAttr(attr);
        // Looked up at the time of use: the entry is absent from the oldest automation runtimes.
        UniqueLibrary oleaut(LoadLibraryW(L"oleaut32.dll"));
        if (oleaut.get() == nullptr) {
            return;
        }
        using Unregister = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
        auto unregister = reinterpret_cast<Unregister>(
            reinterpret_cast<void*>(GetProcAddress(oleaut.get(), "UnRegisterTypeLib")));
        if (unregister != nullptr) {
            unregister(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
        }
    } catch (...) {
        // Unregistration reports nothing.
    }
}

} // namespace

HRESULT RegisterServer() noexcept {
    for (const classes::ClassEntry& row : classes::Rows()) {
        if (HRESULT hr = RunClassScript(row.registryScript, reg::Mode::Register); FAILED(hr)) {
            return hr;
        }
    }
    return RegisterTypeLibrary();
}

HRESULT UnregisterServer() noexcept {
    for (const classes::ClassEntry& row : classes::Rows()) {
        RunClassScript(row.registryScript, reg::Mode::Unregister);
    }
    UnregisterTypeLibrary();
    return S_OK;
}

} // namespace qm::registration
