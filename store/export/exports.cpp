// Ledra.dll's certificate functions: each export forwards to the store core. Compiled by wineg++,
// so the exports follow the Windows calling convention; the core is plain C++.
#include <windows.h>

#include "store/core/ledra.h"

#include <string>
#include <vector>

#define QM_EXPORT extern "C" int32_t __cdecl

namespace {

std::string Utf8(const WCHAR* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return {};
    }
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// The root named by this process's QUILLMARK_STORE, which a Windows program may have set itself:
// a Unix path is taken as it is, a Windows path is turned into the Unix path behind it.
std::string RootFromEnvironment() {
    DWORD size = GetEnvironmentVariableW(L"QUILLMARK_STORE", nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::vector<WCHAR> value(size + 1, 0);
    DWORD n = GetEnvironmentVariableW(L"QUILLMARK_STORE", value.data(), size + 1);
    if (n == 0 || n > size) {
        return {};
    }
    if (value[0] == '/') {
        return Utf8(value.data());
    }
    char* unixPath = wine_get_unix_file_name(value.data());
    if (unixPath == nullptr) {
        return {};
    }
    std::string root = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return root;
}

// Every call tells the core what this process uses: its ANSI code page (the DN texts the callers
// pass and expect) and its store root. Both can change while the DLL is loaded, and asking costs
// little next to reading the store.
template <typename F> int32_t WithProcessSettings(F&& call) noexcept {
    try {
        ledra::SetAnsiCodePage(static_cast<int>(GetACP()));
        ledra::SetStoreRootOverride(RootFromEnvironment());
        return call();
    } catch (...) {
        return ledra::err::kInternal;
    }
}

} // namespace

QM_EXPORT LD_GetKeyDN(int32_t kind, char* area, int32_t medium, int32_t site) {
    return WithProcessSettings([&] { return ledra::LD_GetKeyDN(kind, area, medium, site); });
}
QM_EXPORT LD_GetKeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium, int32_t site,
                        const char* password) {
    return WithProcessSettings(
        [&] { return ledra::LD_GetKeyInfo(kind, records, medium, site, password); });
}
QM_EXPORT LD_GetCertInfo(int32_t kind, CertInfoRecord* records, int32_t site) {
    return WithProcessSettings([&] { return ledra::LD_GetCertInfo(kind, records, site); });
}
QM_EXPORT LD_GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t site,
                       const char* password, ByteBuffer* out) {
    return WithProcessSettings(
        [&] { return ledra::LD_GetMyCert(dn, kind, medium, site, password, out); });
}
QM_EXPORT LD_GetCert(const char* dn, int32_t kind, ByteBuffer* out) {
    return WithProcessSettings([&] { return ledra::LD_GetCert(dn, kind, out); });
}
QM_EXPORT LD_GetKey(const char* dn, int32_t kind, int32_t medium, int32_t site,
                    const char* password, ByteBuffer* out) {
    return WithProcessSettings(
        [&] { return ledra::LD_GetKey(dn, kind, medium, site, password, out); });
}
