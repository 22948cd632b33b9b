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

#include <cstddef>

namespace qmtest {

namespace {

struct Site;

// One interface of the site object and the way back to the object.
template <class I> struct Part {
    I iface;
    Site* site;
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
    IServiceProviderVtbl servicesTable;
    IOleClientSiteVtbl clientSiteTable;
    IOleWindowVtbl windowTable;
    IWebBrowser2Vtbl browserTable;
    IOleContainerVtbl containerTable;
    IHTMLDocument2Vtbl documentTable;
    IQuillmarkBrowserPageVtbl pageTable;
    SiteAnswers answers;
    SiteCounters* counters;
};

HRESULT STDMETHODCALLTYPE NotImplemented() {
    return E_NOTIMPL;
}

template <class Table> void FillWithStubs(Table& table) {
    auto** slots = reinterpret_cast<void**>(&table);
    for (size_t i = 0; i < sizeof(Table) / sizeof(void*); ++i) {
        slots[i] = reinterpret_cast<void*>(&NotImplemented);
    }
}

ULONG AddRefSite(Site* site) {
    return ULONG(InterlockedIncrement(&site->counters->refs));
}

ULONG ReleaseSite(Site* site) {
    LONG refs = InterlockedDecrement(&site->counters->refs);
    if (refs == 0) {
        delete site;
    }
    return ULONG(refs);
}

HRESULT Answer(void** out, void* iface, Site* site) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = iface;
    if (iface == nullptr) {
        return E_NOINTERFACE;
    }
    AddRefSite(site);
    return S_OK;
}

// What the site object itself answers to.
HRESULT SiteQuery(Site* site, REFIID iid, void** out) {
    void* iface = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
        iface = &site->services;
    } else if (IsEqualIID(iid, IID_IServiceProvider) &&
               (site->answers.browser || site->answers.documentService ||
                site->answers.browserPage)) {
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

BSTR AddressCopy(Site* site, const std::wstring& address) {
    ++site->counters->addressReads;
    return SysAllocStringLen(address.data(), UINT(address.size()));
}

// IUnknown of each interface: its part's query, one count for the whole object.
template <class I, HRESULT (*query)(Site*, REFIID, void**)> struct Unknown {
    static HRESULT STDMETHODCALLTYPE Query(I* self, REFIID iid, void** out) {
        return query(SiteOf(self), iid, out);
    }
    static ULONG STDMETHODCALLTYPE AddRef(I* self) { return AddRefSite(SiteOf(self)); }
    static ULONG STDMETHODCALLTYPE Release(I* self) { return ReleaseSite(SiteOf(self)); }
};

// A table of stubs with the interface's IUnknown; the caller sets the methods a host answers.
template <HRESULT (*query)(Site*, REFIID, void**), class I, class Table>
void Prepare(Part<I>& part, Table& table, Site* site) {
    FillWithStubs(table);
    table.QueryInterface = &Unknown<I, query>::Query;
    table.AddRef = &Unknown<I, query>::AddRef;
    table.Release = &Unknown<I, query>::Release;
    part.iface.lpVtbl = &table;
    part.site = site;
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

HRESULT STDMETHODCALLTYPE GetWindow(IOleWindow* self, HWND* window) {
    *window = SiteOf(self)->answers.oleWindow;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE LocationUrl(IWebBrowser2* self, BSTR* address) {
    Site* site = SiteOf(self);
    *address = AddressCopy(site, site->answers.browserAddress);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE BrowserWindow(IWebBrowser2* self, SHANDLE_PTR* window) {
    *window = reinterpret_cast<SHANDLE_PTR>(SiteOf(self)->answers.browserWindow);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DocumentUrl(IHTMLDocument2* self, BSTR* address) {
    Site* site = SiteOf(self);
    *address = AddressCopy(site, site->answers.documentAddress);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PageOrigin(IQuillmarkBrowserPage* self, BSTR* origin) {
    Site* site = SiteOf(self);
    *origin = AddressCopy(site, site->answers.pageOrigin);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PageTopOrigin(IQuillmarkBrowserPage* self, BSTR* origin) {
    Site* site = SiteOf(self);
    *origin = AddressCopy(site, site->answers.topOrigin);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PageOwner(IQuillmarkBrowserPage* self, HWND* window) {
    *window = SiteOf(self)->answers.pageOwner;
    return S_OK;
}

} // namespace

void* NewFakeSite(const SiteAnswers& answers, SiteCounters* counters) {
    auto* site = new Site{};
    Prepare<SiteQuery>(site->services, site->servicesTable, site);
    site->servicesTable.QueryService = &QueryService;
    Prepare<SiteQuery>(site->clientSite, site->clientSiteTable, site);
    site->clientSiteTable.GetContainer = &GetContainer;
    Prepare<SiteQuery>(site->window, site->windowTable, site);
    site->windowTable.GetWindow = &GetWindow;
    Prepare<BrowserQuery>(site->browser, site->browserTable, site);
    site->browserTable.get_LocationURL = &LocationUrl;
    site->browserTable.get_HWND = &BrowserWindow;
    Prepare<DocumentQuery>(site->container, site->containerTable, site);
    Prepare<DocumentQuery>(site->document, site->documentTable, site);
    site->documentTable.get_URL = &DocumentUrl;
    Prepare<PageQuery>(site->page, site->pageTable, site);
    site->pageTable.GetOrigin = &PageOrigin;
    site->pageTable.GetTopOrigin = &PageTopOrigin;
    site->pageTable.GetOwnerWindow = &PageOwner;
    site->answers = answers;
    site->counters = counters;
    counters->refs = 1;
    return &site->services.iface;
}

} // namespace qmtest
