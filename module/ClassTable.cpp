#include "module/ClassTable.h"

#include "automation/DSSession.h"
#include "automation/SecureSession.h"
#include "automation/Veyra.h"
#include "module/AutomationObject.h"
#include "module/Server.h"
#include "module/resources/resource.h"

#include <array>
#include <new>

namespace qm {

namespace {
TypeInfoHolder g_secureSessionInfo(IID_ISecureSession, LIBID_QUILLMARKLib, 1, 0);
TypeInfoHolder g_veyraInfo(IID_IVeyra, LIBID_QUILLMARKLib, 1, 0);
TypeInfoHolder g_dsSessionInfo(IID_IDSSession, LIBID_QUILLMARKLib, 1, 0);
} // namespace

template <> struct ClassTraits<SecureSession> {
    using Dual = ISecureSession;
    static const IID& Iid() { return IID_ISecureSession; }
    static TypeInfoHolder& Holder() { return g_secureSessionInfo; }
};

template <> struct ClassTraits<Veyra> {
    using Dual = IVeyra;
    static const IID& Iid() { return IID_IVeyra; }
    static TypeInfoHolder& Holder() { return g_veyraInfo; }
};

template <> struct ClassTraits<DSSession> {
    using Dual = IDSSession;
    static const IID& Iid() { return IID_IDSSession; }
    static TypeInfoHolder& Holder() { return g_dsSessionInfo; }
};

namespace classes {
namespace {

template <class T> HRESULT CreateObject(IUnknown* outer, REFIID riid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    AutomationObject<T>* object = nullptr;
    try {
        object = new AutomationObject<T>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    HRESULT hr = object->QueryInterface(riid, out);
    if (FAILED(hr)) {
        delete object; // never handed out: nothing may stay alive
    }
    return hr;
}

// The class object of one row. The row's own reference does not count toward the server lock;
// client references do, together as one.
class ClassObject final : public IClassFactory {
public:
    explicit ClassObject(InstanceCreator create) : create_(create) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        Lock lock(lock_);
        if (++refs_ == 2) {
            server::Lock();
        }
        return refs_;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG refs;
        {
            Lock lock(lock_);
            refs = --refs_;
            if (refs == 1) {
                server::Unlock();
            }
        }
        if (refs == 0) {
            delete this;
        }
        return refs;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return create_(outer, riid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            server::Lock();
        } else {
            server::Unlock();
        }
        return S_OK;
    }

private:
    ~ClassObject() = default;

    InstanceCreator create_;
    CriticalSection lock_;
    ULONG refs_ = 1; // the row's reference
};

const std::array<ClassEntry, 3> kRows{{
    {CLSID_SecureSession, IDR_SECURESESSION, &CreateObject<SecureSession>},
    {CLSID_Veyra, IDR_VEYRA, &CreateObject<Veyra>},
    {CLSID_DSSession, IDR_DSSESSION, &CreateObject<DSSession>},
}};

// Filled on first request under the class-object lock; read without it once filled.
std::array<std::atomic<ClassObject*>, 3> g_cache{};

} // namespace

std::span<const ClassEntry> Rows() noexcept {
    return kRows;
}

void Start(HINSTANCE instance) noexcept {
    server::SetInstance(instance);
}

void SetTypeLibrary(const GUID& typeLibrary) noexcept {
    server::SetTypeLibrary(typeLibrary);
}

void End() noexcept {
    for (auto& slot : g_cache) {
        ClassObject* object = nullptr;
        {
            Lock lock(server::ClassObjectLock());
            object = slot.exchange(nullptr);
        }
        if (object != nullptr) {
            object->Release(); // the row's reference
        }
    }
    server::RunTermCallbacks();
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** out) noexcept {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    for (size_t row = 0; row < kRows.size(); ++row) {
        if (!IsEqualCLSID(clsid, kRows[row].clsid)) {
            continue;
        }
        ClassObject* object = g_cache[row].load(std::memory_order_acquire);
        if (object == nullptr) {
            Lock lock(server::ClassObjectLock());
            object = g_cache[row].load(std::memory_order_relaxed);
            if (object == nullptr) {
                object = new (std::nothrow) ClassObject(kRows[row].createInstance);
                if (object == nullptr) {
                    return E_OUTOFMEMORY;
                }
                g_cache[row].store(object, std::memory_order_release);
            }
        }
        return object->QueryInterface(riid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow() noexcept {
    return server::LockCount() == 0 ? S_OK : S_FALSE;
}

} // namespace classes
} // namespace qm
