// The COM plumbing around one automation class: reference counting, QueryInterface, IDispatch
// over the class's shared type information, IObjectSafety and IObjectWithSite. The class itself
// (SecureSession, Veyra, DSSession) implements only its own methods; the site lock's verdict lives
// in its SiteGate base (site/), which SetSite informs and SetInterfaceSafetyOptions asks.
//
// Destruction runs in a fixed order: the count is pinned at 1, the server lock taken at creation
// is given back, the class's own state is torn down, and the site is released last. The count,
// the site and the safety options live in ObjectCore, the first base, so that C++ destroys them
// after the class (bases go in reverse order of declaration).
#pragma once

#include "module/Server.h"
#include "module/TypeInfoHolder.h"
#include "platform/Raii.h"

#include <windows.h>

#include <objsafe.h>
#include <ocidl.h>

namespace qm {

// What each class tells the plumbing: its dual interface, that interface's identifier and the
// holder of its type information.
template <class T> struct ClassTraits;

class ObjectCore {
protected:
    ULONG refs_ = 0;          // apartment-threaded: one thread touches it
    ComPtr<IUnknown> site_;   // kept for the host; the class's SiteGate looks through it
    DWORD safetyOptions_ = 0; // stored and reported, never acted on
};

template <class T>
class AutomationObject final : private ObjectCore,
                               public T,
                               public IObjectSafety,
                               public IObjectWithSite {
    using Dual = typename ClassTraits<T>::Dual;

public:
    AutomationObject() { server::Lock(); }

    ~AutomationObject() override {
        refs_ = 1; // a reference taken and dropped while tearing down must not start it again
        server::Unlock();
        // T's state is torn down next, then ObjectCore releases the site.
    }

    // IUnknown, shared by every interface of the object.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, ClassTraits<T>::Iid()) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_IUnknown)) {
            *out = static_cast<Dual*>(this);
        } else if (IsEqualIID(riid, IID_IObjectSafety)) {
            *out = static_cast<IObjectSafety*>(this);
        } else if (IsEqualIID(riid, IID_IObjectWithSite)) {
            *out = static_cast<IObjectWithSite*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        ++refs_;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG refs = --refs_;
        if (refs == 0) {
            delete this;
        }
        return refs;
    }

    // IDispatch: four short methods over the class's type information.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID lcid, ITypeInfo** info) override {
        return Holder().GetTypeInfo(lcid, info); // every index names the one type information
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override {
        return Holder().GetIDsOfNames(names, count, lcid, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override {
        return Holder().Invoke(static_cast<Dual*>(this), id, lcid, flags, params, result, exception,
                               argumentError);
    }

    // IObjectSafety: INTERFACESAFE_FOR_UNTRUSTED_CALLER is the one option offered.
    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* supported,
                                                        DWORD* enabled) override {
        if (supported == nullptr || enabled == nullptr) {
            return E_POINTER;
        }
        HRESULT hr = AnswersTo(riid);
        *supported = SUCCEEDED(hr) ? kSafetyOffered : 0;
        *enabled = SUCCEEDED(hr) ? safetyOptions_ : 0;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD mask,
                                                        DWORD enabled) override {
        if (HRESULT hr = AnswersTo(riid); FAILED(hr)) {
            return hr;
        }
        if ((mask & ~kSafetyOffered) != 0) {
            return E_FAIL;
        }
        // A browser that hears E_FAIL neither scripts nor initializes the object.
        if (!this->SiteMayScript()) {
            return E_FAIL;
        }
        safetyOptions_ = (safetyOptions_ & ~mask) | (enabled & mask);
        return S_OK;
    }

    // IObjectWithSite
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override {
        if (site != nullptr) {
            site->AddRef();
        }
        site_ = ComPtr<IUnknown>::Adopt(site); // the old site is released after the new is held
        this->OnSiteChanged(site);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        return site_ ? site_->QueryInterface(riid, out) : E_FAIL;
    }

private:
    static constexpr DWORD kSafetyOffered = INTERFACESAFE_FOR_UNTRUSTED_CALLER;

    static TypeInfoHolder& Holder() { return ClassTraits<T>::Holder(); }

    HRESULT AnswersTo(REFIID riid) {
        IUnknown* probe = nullptr;
        HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&probe));
        if (SUCCEEDED(hr)) {
            probe->Release();
        }
        return hr;
    }
};

} // namespace qm
