// Binds the crypto engine and the certificate store in a Windows process: each library is loaded
// by full path from the folder of the module that holds this code (Quillmark.dll), or, where it is
// not there, taken as the process already holds it, or else loaded from the system folder (a site
// that installs its copies with the system's DLLs). Never by a search that reaches the host's
// current folder or PATH: a browser's current folder is often its download folder, and a DLL
// planted there would run inside the browser.
#include "external/engine.h"
#include "external/store.h"
#include "platform/ModuleFile.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

std::wstring ModuleFolder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleFolder), &self)) {
        return {};
    }
    std::wstring path = qm::ModuleFileName(self);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return {};
    }
    std::wstring folder(path, n);
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder;
}

// Only a file that is certainly not there lets the search go on elsewhere: one that exists but
// cannot be read is still the file the site put there.
bool IsAbsent(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The library's own imports are looked for in its folder and the system folder only. A system
// without the search flags (Windows 7 before its loader update) refuses them as an invalid
// parameter; there the library's folder leads the search for its imports instead.
HMODULE LoadByFullPath(const std::wstring& path) {
    HMODULE h = LoadLibraryExW(path.c_str(), nullptr,
                               LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (h == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        h = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return h;
}

// A library that the process already holds under that name (its host, or a test program, loaded
// it itself) is taken as it is: nothing is searched for and nothing new runs.
HMODULE AlreadyLoaded(const wchar_t* name) {
    HMODULE h = nullptr;
    return GetModuleHandleExW(0, name, &h) ? h : nullptr;
}

// The file beside the module, when it is there, is the only candidate: if it fails to load
// (damaged, of the wrong machine type), the library stays unbound rather than be looked for
// anywhere a stranger can put a file.
HMODULE LoadBesideModule(const wchar_t* name) {
    std::wstring folder = ModuleFolder();
    if (!folder.empty()) {
        std::wstring beside = folder + name;
        if (!IsAbsent(beside)) {
            return LoadByFullPath(beside);
        }
    }
    if (HMODULE h = AlreadyLoaded(name)) {
        return h;
    }
    std::wstring system = SystemFolder();
    return system.empty() ? nullptr : LoadByFullPath(system + name);
}

// The stand-in for an engine function that could not be bound: it fails, writes nothing and never
// crashes.
template <typename F> struct UnboundEngine;
template <typename... Parameters> struct UnboundEngine<int32_t(QM_CDECL*)(Parameters...)> {
    static int32_t QM_CDECL Call(Parameters...) { return qm::kUnboundFunction; }
};

// The stand-in for a store function that could not be bound: it answers as the store's table says
// (StoreUnbound), writes nothing but an empty output value or text, and never crashes.
void Clear(int32_t* value) {
    if (value != nullptr) {
        *value = 0;
    }
}
void Clear(char* text) {
    if (text != nullptr) {
        text[0] = '\0';
    }
}
template <typename Input> void Clear(Input) {}

template <qm::StoreUnbound Answer, typename F> struct UnboundStore;
template <qm::StoreUnbound Answer, typename... Parameters>
struct UnboundStore<Answer, int32_t(QM_CDECL*)(Parameters...)> {
    static int32_t QM_CDECL Call([[maybe_unused]] Parameters... parameters) {
        if constexpr (Answer == qm::StoreUnbound::kNothing) {
            return 0;
        } else {
            if constexpr (Answer == qm::StoreUnbound::kClearedFailure) {
                (Clear(parameters), ...);
            }
            return qm::kUnboundFunction;
        }
    }
};

// A library and whether every function of it was found.
template <typename Api> struct Bound {
    Api api{};
    bool complete = true;
};

template <typename Api, typename F>
void Resolve(HMODULE module, LPCSTR nameOrOrdinal, Bound<Api>& bound, F Api::*slot, F fallback) {
    FARPROC proc = module != nullptr ? GetProcAddress(module, nameOrOrdinal) : nullptr;
    bound.api.*slot =
        proc != nullptr ? reinterpret_cast<F>(reinterpret_cast<void*>(proc)) : fallback;
    bound.complete = bound.complete && proc != nullptr;
}

Bound<EngineApi> BindRealEngine() {
    HMODULE h = LoadBesideModule(L"Corvane.dll");
    Bound<EngineApi> api;
    qm::ForEachEngineFunction([&]<typename F>(F EngineApi::*slot, int ordinal, const char*) {
        Resolve(h, MAKEINTRESOURCEA(ordinal), api, slot, &UnboundEngine<F>::Call);
    });
    return api;
}

Bound<StoreApi> BindRealStore() {
    HMODULE h = LoadBesideModule(L"Ledra.dll");
    Bound<StoreApi> api;
    qm::ForEachStoreFunction([&]<typename F>(F StoreApi::*slot, const char* name, auto unbound) {
        Resolve(h, name, api, slot, &UnboundStore<decltype(unbound)::value, F>::Call);
    });
    return api;
}

std::atomic<const EngineApi*> g_engineOverride{nullptr};

const Bound<EngineApi>& RealEngine() {
    static const Bound<EngineApi> real = BindRealEngine();
    return real;
}

const Bound<StoreApi>& RealStore() {
    static const Bound<StoreApi> real = BindRealStore();
    return real;
}

} // namespace

namespace qm {

const EngineApi& Engine() noexcept {
    if (const EngineApi* api = g_engineOverride.load(std::memory_order_acquire)) {
        return *api;
    }
    return RealEngine().api;
}

bool EngineLoaded() noexcept {
    return g_engineOverride.load(std::memory_order_acquire) != nullptr || RealEngine().complete;
}

void BindEngineForTesting(const EngineApi* api) noexcept {
    g_engineOverride.store(api, std::memory_order_release);
}

const StoreApi& LibraryStore() noexcept {
    return RealStore().api;
}

bool LibraryStoreLoaded() noexcept {
    return RealStore().complete;
}

} // namespace qm
