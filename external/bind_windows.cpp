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

// Stand-ins for functions that could not be bound: they fail, write nothing and never crash.
int32_t QM_CDECL UnboundContext(EngineContext*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundFree(void*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundBase64Encode(const ByteBuffer*, char**) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundTextToBuffer(const char*, ByteBuffer*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundPemEncode(const ByteBuffer*, int32_t, char**) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundDigest(int32_t, const ByteBuffer*, ByteBuffer*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundNameToId(const char*, int32_t*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundLength(int32_t, int32_t*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundRandom(int32_t, int32_t, uint8_t**) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundCipher(int32_t, const uint8_t*, const uint8_t*, const ByteBuffer*,
                               ByteBuffer*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundSeal(EngineContext*, const ByteBuffer*, const ByteBuffer*, ByteBuffer*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundParse(EngineContext*, const ByteBuffer*, int32_t, int32_t*, int32_t*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundVerify(EngineContext*, const ByteBuffer*, const ByteBuffer*,
                               const ByteBuffer*, const ByteBuffer*, char**) {
    return qm::kUnboundFunction;
}

int32_t QM_CDECL UnboundKeyDN(int32_t, char*, int32_t, int32_t) {
    return 0;
}
int32_t QM_CDECL UnboundKeyInfo(int32_t, CertInfoRecord*, int32_t, int32_t, const char*) {
    return 0;
}
int32_t QM_CDECL UnboundCertInfo(int32_t, CertInfoRecord*, int32_t) {
    return 0;
}
int32_t QM_CDECL UnboundMyCert(const char*, int32_t, int32_t, int32_t, const char*, ByteBuffer*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundCert(const char*, int32_t, ByteBuffer*) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundIsRegKey(const char*, const char*) {
    return 0;
}
int32_t QM_CDECL UnboundGetN(const char*, const char*, int32_t* value) {
    if (value != nullptr) {
        *value = 0;
    }
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundSetN(const char*, const char*, int32_t) {
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundGetSZ(const char*, const char*, char* text) {
    if (text != nullptr) {
        text[0] = '\0';
    }
    return qm::kUnboundFunction;
}
int32_t QM_CDECL UnboundSetSZ(const char*, const char*, const char*) {
    return qm::kUnboundFunction;
}

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

LPCSTR ByOrdinal(int ordinal) {
    return MAKEINTRESOURCEA(ordinal);
}

Bound<EngineApi> BindRealEngine() {
    HMODULE h = LoadBesideModule(L"Corvane.dll");
    Bound<EngineApi> api;
    namespace o = qm::ordinal;
    Resolve(h, ByOrdinal(o::CV_ContextInit), api, &EngineApi::CV_ContextInit, &UnboundContext);
    Resolve(h, ByOrdinal(o::CV_ContextFree), api, &EngineApi::CV_ContextFree, &UnboundContext);
    Resolve(h, ByOrdinal(o::CV_Free), api, &EngineApi::CV_Free, &UnboundFree);
    Resolve(h, ByOrdinal(o::CV_Base64Encode), api, &EngineApi::CV_Base64Encode,
            &UnboundBase64Encode);
    Resolve(h, ByOrdinal(o::CV_Base64Decode), api, &EngineApi::CV_Base64Decode,
            &UnboundTextToBuffer);
    Resolve(h, ByOrdinal(o::CV_PemDecode), api, &EngineApi::CV_PemDecode, &UnboundTextToBuffer);
    Resolve(h, ByOrdinal(o::CV_PemEncode), api, &EngineApi::CV_PemEncode, &UnboundPemEncode);
    Resolve(h, ByOrdinal(o::CV_Digest), api, &EngineApi::CV_Digest, &UnboundDigest);
    Resolve(h, ByOrdinal(o::CV_DigestId), api, &EngineApi::CV_DigestId, &UnboundNameToId);
    Resolve(h, ByOrdinal(o::CV_CipherId), api, &EngineApi::CV_CipherId, &UnboundNameToId);
    Resolve(h, ByOrdinal(o::CV_IvLength), api, &EngineApi::CV_IvLength, &UnboundLength);
    Resolve(h, ByOrdinal(o::CV_KeyLength), api, &EngineApi::CV_KeyLength, &UnboundLength);
    Resolve(h, ByOrdinal(o::CV_RandomBytes), api, &EngineApi::CV_RandomBytes, &UnboundRandom);
    Resolve(h, ByOrdinal(o::CV_Encrypt), api, &EngineApi::CV_Encrypt, &UnboundCipher);
    Resolve(h, ByOrdinal(o::CV_Decrypt), api, &EngineApi::CV_Decrypt, &UnboundCipher);
    Resolve(h, ByOrdinal(o::CV_EncryptForCertificate), api, &EngineApi::CV_EncryptForCertificate,
            &UnboundSeal);
    Resolve(h, ByOrdinal(o::CV_DecryptPrivateKey), api, &EngineApi::CV_DecryptPrivateKey,
            &UnboundSeal);
    Resolve(h, ByOrdinal(o::CV_ParseCertificate), api, &EngineApi::CV_ParseCertificate,
            &UnboundParse);
    Resolve(h, ByOrdinal(o::CV_VerifyCertificate), api, &EngineApi::CV_VerifyCertificate,
            &UnboundVerify);
    return api;
}

Bound<StoreApi> BindRealStore() {
    HMODULE h = LoadBesideModule(L"Ledra.dll");
    Bound<StoreApi> api;
    Resolve(h, "LD_GetKeyDN", api, &StoreApi::LD_GetKeyDN, &UnboundKeyDN);
    Resolve(h, "LD_GetKeyInfo", api, &StoreApi::LD_GetKeyInfo, &UnboundKeyInfo);
    Resolve(h, "LD_GetCertInfo", api, &StoreApi::LD_GetCertInfo, &UnboundCertInfo);
    Resolve(h, "LD_GetMyCert", api, &StoreApi::LD_GetMyCert, &UnboundMyCert);
    Resolve(h, "LD_GetCert", api, &StoreApi::LD_GetCert, &UnboundCert);
    Resolve(h, "LD_GetKey", api, &StoreApi::LD_GetKey, &UnboundMyCert);
    Resolve(h, "LD_IsRegKey", api, &StoreApi::LD_IsRegKey, &UnboundIsRegKey);
    Resolve(h, "LD_GetRegValueN", api, &StoreApi::LD_GetRegValueN, &UnboundGetN);
    Resolve(h, "LD_SetRegValueN", api, &StoreApi::LD_SetRegValueN, &UnboundSetN);
    Resolve(h, "LD_GetRegValueSZ", api, &StoreApi::LD_GetRegValueSZ, &UnboundGetSZ);
    Resolve(h, "LD_SetRegValueSZ", api, &StoreApi::LD_SetRegValueSZ, &UnboundSetSZ);
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
