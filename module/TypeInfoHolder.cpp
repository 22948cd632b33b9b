#include "module/TypeInfoHolder.h"

#include "module/Server.h"
#include "platform/Raii.h"
#include "platform/StringConversion.h"

#include <new>

namespace qm {
namespace {

// The registered library for the caller's locale; failing that, for the library's own locale.
// The library is registered under 1033 alone, and the platform's lookup tries only the exact
// locale, its neutral sub-language and 0: a script host running under another user locale (or
// asking for 0) would otherwise never find it.
HRESULT LoadLibraryForLocale(const GUID& library, WORD major, WORD minor, LCID lcid,
                             ITypeLib** lib) {
    HRESULT hr = LoadRegTypeLib(library, major, minor, lcid, lib);
    if (FAILED(hr) && lcid != kTypeLibraryLocale) {
        HRESULT retry = LoadRegTypeLib(library, major, minor, kTypeLibraryLocale, lib);
        if (SUCCEEDED(retry)) {
            return retry;
        }
    }
    return hr;
}

// A call that the site lock refused (the only E_ACCESSDENIED a method returns) reaches a script
// as an exception that says what refused it, as a script host shows a refusal, rather than as a
// bare number with an empty description.
HRESULT DescribeRefusal(HRESULT hr, EXCEPINFO* exception) {
    bool refused = hr == E_ACCESSDENIED ||
                   (hr == DISP_E_EXCEPTION && exception != nullptr &&
                    exception->scode == E_ACCESSDENIED && exception->bstrDescription == nullptr);
    if (!refused || exception == nullptr) {
        return hr;
    }
    if (hr == DISP_E_EXCEPTION) { // filled by the runtime; otherwise it holds nothing of ours
        SysFreeString(exception->bstrSource);
        SysFreeString(exception->bstrHelpFile);
    }
    *exception = EXCEPINFO{};
    exception->scode = E_ACCESSDENIED;
    exception->bstrSource = SysAllocString(L"Quillmark");
    exception->bstrDescription =
        SysAllocString(L"Permission denied: Quillmark's site lock does not allow this page");
    return DISP_E_EXCEPTION;
}

} // namespace

HRESULT TypeInfoHolder::Load(LCID lcid, ITypeInfo** info) {
    ITypeInfo* cached = info_.load(std::memory_order_acquire);
    if (cached == nullptr) {
        Lock lock(server::TypeInfoLock());
        if (info_.load(std::memory_order_relaxed) == nullptr) {
            if (HRESULT hr = LoadLocked(lcid); FAILED(hr)) {
                return hr;
            }
        }
        cached = info_.load(std::memory_order_relaxed);
    }
    *info = cached;
    return S_OK;
}

HRESULT TypeInfoHolder::LoadLocked(LCID lcid) {
    try {
        ComPtr<ITypeLib> lib;
        if (HRESULT hr = LoadLibraryForLocale(library_, major_, minor_, lcid, lib.out());
            FAILED(hr)) {
            return hr;
        }
        ComPtr<ITypeInfo> info;
        if (HRESULT hr = lib->GetTypeInfoOfGuid(iid_, info.out()); FAILED(hr)) {
            return hr;
        }
        ComPtr<ITypeInfo2> extended;
        if (SUCCEEDED(info->QueryInterface(IID_ITypeInfo2, extended.out_void()))) {
            info = ComPtr<ITypeInfo>::Adopt(extended.release());
        }

        TYPEATTR* attr = nullptr;
        if (HRESULT hr = info->GetTypeAttr(&attr); FAILED(hr)) {
            return hr;
        }
        WORD functions = attr->cFuncs;
        info->ReleaseTypeAttr(attr);

        std::vector<CachedName> names;
        names.reserve(functions);
        for (WORD i = 0; i < functions; ++i) {
            FUNCDESC* desc = nullptr;
            if (FAILED(info->GetFuncDesc(i, &desc))) {
                continue;
            }
            MEMBERID id = desc->memid;
            info->ReleaseFuncDesc(desc);
            UniqueBstr name;
            if (SUCCEEDED(info->GetDocumentation(id, name.out(), nullptr, nullptr, nullptr)) &&
                name.get() != nullptr) {
                names.push_back({WideText(name.get()), id});
            }
        }

        // The termination callback is added before the holder is filled, so that a filled holder
        // is always released at the class table's end.
        if (!server::AddTermCallback(&TypeInfoHolder::Release, this)) {
            return E_OUTOFMEMORY;
        }
        names_ = std::move(names);
        info_.store(info.release(), std::memory_order_release);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void TypeInfoHolder::Release(void* self) {
    auto* holder = static_cast<TypeInfoHolder*>(self);
    Lock lock(server::TypeInfoLock());
    if (ITypeInfo* info = holder->info_.exchange(nullptr)) {
        info->Release();
    }
    std::vector<CachedName>().swap(holder->names_);
}

HRESULT TypeInfoHolder::GetTypeInfo(LCID lcid, ITypeInfo** info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    *info = nullptr;
    ITypeInfo* cached = nullptr;
    if (HRESULT hr = Load(lcid, &cached); FAILED(hr)) {
        return hr;
    }
    cached->AddRef();
    *info = cached;
    return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
    if (count > 0 && (names == nullptr || ids == nullptr)) {
        return E_POINTER;
    }
    ITypeInfo* info = nullptr;
    if (HRESULT hr = Load(lcid, &info); FAILED(hr)) {
        return hr;
    }
    for (UINT i = 0; i < count; ++i) {
        if (names[i] == nullptr) {
            return E_POINTER;
        }
        size_t length = lstrlenW(names[i]);
        bool found = false;
        // Exact case, newest entry first: the common spelling from script is answered here.
        for (auto entry = names_.rbegin(); entry != names_.rend(); ++entry) {
            if (entry->name.size() == length &&
                entry->name.compare(0, length, names[i], length) == 0) {
                ids[i] = entry->id;
                found = true;
                break;
            }
        }
        if (!found) {
            if (HRESULT hr = info->GetIDsOfNames(&names[i], 1, &ids[i]); FAILED(hr)) {
                return hr;
            }
        }
    }
    return S_OK;
}

HRESULT TypeInfoHolder::Invoke(IDispatch* self, DISPID id, LCID lcid, WORD flags,
                               DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                               UINT* argumentError) {
    ITypeInfo* info = nullptr;
    if (HRESULT hr = Load(lcid, &info); FAILED(hr)) {
        return hr;
    }
    return DescribeRefusal(info->Invoke(self, id, flags, params, result, exception, argumentError),
                           exception);
}

} // namespace qm
