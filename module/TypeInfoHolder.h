// The type information of one dual interface, loaded once per process from the registered type
// library and shared by every object of its class. IDispatch is served from it: names are looked
// up in a cache of the interface's member names, calls are handed to the type information's own
// Invoke, which converts the arguments and calls the dual interface's method of that DISPID.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <atomic>
#include <string>
#include <vector>

namespace qm {

class TypeInfoHolder {
public:
    TypeInfoHolder(const IID& iid, const GUID& library, WORD major, WORD minor)
        : iid_(iid), library_(library), major_(major), minor_(minor) {}
    TypeInfoHolder(const TypeInfoHolder&) = delete;
    TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;
    // Static objects: what they cache is released by the class table's end, not here, since a
    // process that is exiting must not call into the automation runtime any more.
    ~TypeInfoHolder() = default;

    // The IDispatch methods of every object of the class, over this holder.
    HRESULT GetTypeInfo(LCID lcid, ITypeInfo** info);
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
    HRESULT Invoke(IDispatch* self, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError);

private:
    struct CachedName {
        std::wstring name;
        DISPID id;
    };

    HRESULT Load(LCID lcid, ITypeInfo** info);
    HRESULT LoadLocked(LCID lcid);
    static void Release(void* self);

    const IID& iid_;
    const GUID& library_;
    const WORD major_;
    const WORD minor_;
    std::atomic<ITypeInfo*> info_{nullptr};
    std::vector<CachedName> names_; // written once under the type-information lock
};

// The type library's own locale: the one it is registered under.
inline constexpr LCID kTypeLibraryLocale = 1033;

} // namespace qm
