// The fake site in C-style COM: IWebBrowser2 and IHTMLDocument2 have some hundred and eighty
// methods between them, of which the objects call three. Their tables are filled with one stub
// that answers E_NOTIMPL, and the few methods a host must answer are set by name. (One stub fits
// every signature because the x86_64 convention leaves the stack to the caller; i686 builds compile
// this file but never run it.)
#define CINTERFACE
#include "tests/support/fake_site.h"

#include "site/BrowserPage.h"

#include <exdisp.h>
#include <mshtml.h>
#include <oleidl.h>
#include <servprov.h>
#include <shlguid.h>

#include <algorithm>
#include <type_traits>

namespace qmtest {

namespace {

struct Site;

// One interface of the site object, the way back to the object, and the interface's table.
template <class I> struct Part {
    I iface;
    Site* site;
    std::remove_pointer_t<decltype(I::lpVtbl)> table;
};

template <class I> Site* SiteOf(I* iface) {
    return reinterpret_cast<Part<I>*>(iface)->site; // `iface` is its part's first member
}

struct Site {
    Part<IServiceProvider> services;
    Part<IOleClientSite> clientSite;
    Part<IOleWindow> window;
    Part<IWebBrowser2> browser;
    Part<IOleContainer> container; // the page's document is its own container, as in MSHTML
    Part<IHTMLDocument2> document;
    Part<IQuillmarkBrowserPage> page;
    SiteAnswers answers;
    SiteCounters* counters;
};

HRESULT Answer(void** out, void* iface, Site* site) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = iface;
    if (iface == nullptr) {
        return E_NOINTERFACE;
    }
    InterlockedIncrement(&site->counters->refs);
    return S_OK;
}

// What the site object itself answers to.
HRESULT SiteQuery(Site* site, REFIID iid, void** out) {
    void* iface = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) ||
        (IsEqualIID(iid, IID_IServiceProvider) &&
         (site->answers.browser || site->answers.documentService || site->answers.browserPage))) {
        iface = &site->services;
    } else if (IsEqualIID(iid, IID_IOleClientSite) && site->answers.document) {
        iface = &site->clientSite;
    } else if (IsEqualIID(iid, IID_IOleWindow) && site->answers.oleWindow != nullptr) {
        iface = &site->window;
    }
    return Answer(out, iface, site);
}

HRESULT BrowserQuery(Site* site, REFIID iid, void** out) {
    bool browser = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                   IsEqualIID(iid, IID_IWebBrowser) || IsEqualIID(iid, IID_IWebBrowserApp) ||
                   IsEqualIID(iid, IID_IWebBrowser2);
    return Answer(out, browser ? &site->browser : nullptr, site);
}

HRESULT DocumentQuery(Site* site, REFIID iid, void** out) {
    void* iface = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleContainer) ||
        IsEqualIID(iid, IID_IParseDisplayName)) {
        iface = &site->container;
    } else if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IHTMLDocument) ||
               IsEqualIID(iid, IID_IHTMLDocument2)) {
        iface = &site->document;
    }
    return Answer(out, iface, site);
}

HRESULT PageQuery(Site* site, REFIID iid, void** out) {
    bool page = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IQuillmarkBrowserPage);
    return Answer(out, page ? &site->page : nullptr, site);
}

// What every interface of the site has: IUnknown (its part's query, one count for the whole
// object) and the stub for the rest.
template <class I, HRESULT (*query)(Site*, REFIID, void**)> struct Common {
    static HRESULT STDMETHODCALLTYPE NotImplemented() { return E_NOTIMPL; }
    static HRESULT STDMETHODCALLTYPE Query(I* self, REFIID iid, void** out) {
        return query(SiteOf(self), iid, out);
    }
    static ULONG STDMETHODCALLTYPE AddRef(I* self) {
        return ULONG(InterlockedIncrement(&SiteOf(self)->counters->refs));
    }
    static ULONG STDMETHODCALLTYPE Release(I* self) {
        LONG refs = InterlockedDecrement(&SiteOf(self)->counters->refs);
        if (refs == 0) {
            delete SiteOf(self);
        }
        return ULONG(refs);
    }
};

// The part's table, all stubs but the interface's IUnknown; the caller sets the methods a host
// answers.
template <HRESULT (*query)(Site*, REFIID, void**), class I>
auto& Prepare(Part<I>& part, Site* site) {
    std::fill_n(reinterpret_cast<void**>(&part.table), sizeof(part.table) / sizeof(void*),
                reinterpret_cast<void*>(&Common<I, query>::NotImplemented));
    part.table.QueryInterface = &Common<I, query>::Query;
    part.table.AddRef = &Common<I, query>::AddRef;
    part.table.Release = &Common<I, query>::Release;
    part.iface.lpVtbl = &part.table;
    part.site = site;
    return part.table;
}

HRESULT STDMETHODCALLTYPE QueryService(IServiceProvider* self, REFGUID service, REFIID iid,
                                       void** out) {
    Site* site = SiteOf(self);
    if (IsEqualGUID(service, SID_SWebBrowserApp) && site->answers.browser) {
        return BrowserQuery(site, iid, out);
    }
    if (IsEqualGUID(service, SID_SContainerDispatch) && site->answers.documentService) {
        return DocumentQuery(site, iid, out);
    }
    if (IsEqualGUID(service, SID_QuillmarkBrowserPage) && site->answers.browserPage) {
        return PageQuery(site, iid, out);
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE GetContainer(IOleClientSite* self, IOleContainer** container) {
    return DocumentQuery(SiteOf(self), IID_IOleContainer, reinterpret_cast<void**>(container));
}

// An address or origin the site answers with (each read counted), and a window.
template <std::wstring SiteAnswers::*field, class I>
HRESULT STDMETHODCALLTYPE Address(I* self, BSTR* address) {
    Site* site = SiteOf(self);
    ++site->counters->addressReads;
    const std::wstring& text = site->answers.*field;
    *address = SysAllocStringLen(text.data(), UINT(text.size()));
    return S_OK;
}

template <HWND SiteAnswers::*field, class I, class Window>
HRESULT STDMETHODCALLTYPE WindowOf(I* self, Window* window) {
    *window = reinterpret_cast<Window>(SiteOf(self)->answers.*field);
    return S_OK;
}

} // namespace

void* NewFakeSite(const SiteAnswers& answers, SiteCounters* counters) {
    auto* site = new Site{};
    site->answers = answers;
    site->counters = counters;
    Prepare<SiteQuery>(site->services, site).QueryService = &QueryService;
    Prepare<SiteQuery>(site->clientSite, site).GetContainer = &GetContainer;
    Prepare<SiteQuery>(site->window, site).GetWindow = &WindowOf<&SiteAnswers::oleWindow>;
    auto& browser = Prepare<BrowserQuery>(site->browser, site);
    browser.get_LocationURL = &Address<&SiteAnswers::browserAddress>;
    browser.get_HWND = &WindowOf<&SiteAnswers::browserWindow>;
    Prepare<DocumentQuery>(site->container, site);
    Prepare<DocumentQuery>(site->document, site).get_URL = &Address<&SiteAnswers::documentAddress>;
    auto& page = Prepare<PageQuery>(site->page, site);
    page.GetOrigin = &Address<&SiteAnswers::pageOrigin>;
    page.GetTopOrigin = &Address<&SiteAnswers::topOrigin>;
    page.GetOwnerWindow = &WindowOf<&SiteAnswers::pageOwner>;
    counters->refs = 1;
    return &site->services.iface;
}

} // namespace qmtest
