#include "browser/host/PageSite.h"

#include "site/BrowserPage.h"

#include <servprov.h>

#include <new>
#include <utility>

namespace qm::browser {

namespace {

class PageSite final : public IServiceProvider, public IQuillmarkBrowserPage {
public:
    PageSite(std::wstring origin, std::wstring topOrigin, HWND owner)
        : origin_(std::move(origin)), topOrigin_(std::move(topOrigin)), owner_(owner) {}

    // IUnknown, one for both interfaces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IServiceProvider)) {
            *out = static_cast<IServiceProvider*>(this);
        } else if (IsEqualIID(iid, IID_IQuillmarkBrowserPage)) {
            *out = static_cast<IQuillmarkBrowserPage*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) {
            delete this;
        }
        return ULONG(refs);
    }

    // IServiceProvider: the browser-page service and nothing else. In particular no web browser
    // application and no document: the page is not one of Internet Explorer's.
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (!IsEqualGUID(service, SID_QuillmarkBrowserPage)) {
            return E_NOINTERFACE;
        }
        return QueryInterface(iid, out);
    }

    // IQuillmarkBrowserPage
    HRESULT STDMETHODCALLTYPE GetOrigin(BSTR* origin) override { return Copy(origin_, origin); }
    HRESULT STDMETHODCALLTYPE GetTopOrigin(BSTR* origin) override {
        return Copy(topOrigin_, origin);
    }
    HRESULT STDMETHODCALLTYPE GetOwnerWindow(HWND* window) override {
        if (window == nullptr) {
            return E_POINTER;
        }
        *window = owner_ != nullptr && IsWindow(owner_) ? owner_ : nullptr;
        return S_OK;
    }

private:
    ~PageSite() = default;

    static HRESULT Copy(const std::wstring& text, BSTR* out) {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = SysAllocStringLen(text.data(), UINT(text.size()));
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    LONG refs_ = 1;
    const std::wstring origin_;
    const std::wstring topOrigin_;
    const HWND owner_;
};

} // namespace

ComPtr<IUnknown> MakePageSite(std::wstring origin, std::wstring topOrigin, HWND owner) {
    auto* site = new PageSite(std::move(origin), std::move(topOrigin), owner);
    return ComPtr<IUnknown>::Adopt(static_cast<IServiceProvider*>(site));
}

} // namespace qm::browser
