#include "site/HostSite.h"

#include "platform/Raii.h"
#include "platform/StringConversion.h"
#include "site/BrowserPage.h"

#include <exdisp.h>
#include <mshtml.h>
#include <servprov.h>
#include <shlguid.h>

namespace qm::site {

namespace {

// Hosts are other people's code: an interface counts as given only with a success and a pointer.
template <class I> ComPtr<I> Given(HRESULT hr, I* given) {
    return SUCCEEDED(hr) && given != nullptr ? ComPtr<I>::Adopt(given) : ComPtr<I>();
}

template <class I> ComPtr<I> Ask(IUnknown* object, REFIID iid) {
    if (object == nullptr) {
        return {};
    }
    I* answer = nullptr;
    HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&answer));
    return Given(hr, answer);
}

template <class I> ComPtr<I> Service(IUnknown* site, REFGUID service, REFIID iid) {
    ComPtr<IServiceProvider> services = Ask<IServiceProvider>(site, IID_IServiceProvider);
    if (!services) {
        return {};
    }
    I* answer = nullptr;
    HRESULT hr = services->QueryService(service, iid, reinterpret_cast<void**>(&answer));
    return Given(hr, answer);
}

ComPtr<IWebBrowser2> BrowserOf(IUnknown* site) {
    return Service<IWebBrowser2>(site, SID_SWebBrowserApp, IID_IWebBrowser2);
}

// The document the object itself is in. An object of the page's markup finds it as its client
// site's container; one that a script made (new ActiveXObject) has the script engine's site,
// which offers services alone, the script's own document among them.
ComPtr<IHTMLDocument2> DocumentOf(IUnknown* site) {
    if (ComPtr<IOleClientSite> clientSite = Ask<IOleClientSite>(site, IID_IOleClientSite)) {
        IOleContainer* given = nullptr;
        HRESULT hr = clientSite->GetContainer(&given);
        ComPtr<IOleContainer> container = Given(hr, given);
        if (ComPtr<IHTMLDocument2> document =
                Ask<IHTMLDocument2>(container.get(), IID_IHTMLDocument2)) {
            return document;
        }
    }
    return Service<IHTMLDocument2>(site, SID_SContainerDispatch, IID_IHTMLDocument2);
}

ComPtr<IQuillmarkBrowserPage> BrowserPageOf(IUnknown* site) {
    return Service<IQuillmarkBrowserPage>(site, SID_QuillmarkBrowserPage,
                                          IID_IQuillmarkBrowserPage);
}

HWND ExistingWindow(HWND window) {
    return window != nullptr && IsWindow(window) ? window : nullptr;
}

// One of the browser page's origins as an origin; none when it is not given or does not parse.
std::optional<Origin> PageOrigin(IQuillmarkBrowserPage* page,
                                 HRESULT (STDMETHODCALLTYPE IQuillmarkBrowserPage::*read)(BSTR*)) {
    BSTR text = nullptr;
    HRESULT hr = (page->*read)(&text);
    UniqueBstr origin(text);
    if (FAILED(hr) || text == nullptr) {
        return std::nullopt;
    }
    return OriginOfAddress(WideText(origin.get()).c_str());
}

// A browser page is served as the frame rule and the web's own rule for secure pages allow: its
// document and its top page are of one origin, and that origin is one a browser may be served at.
std::optional<Origin> OriginOfBrowserPage(IQuillmarkBrowserPage* page) {
    std::optional<Origin> origin = PageOrigin(page, &IQuillmarkBrowserPage::GetOrigin);
    if (!origin || !IsServedToBrowsers(*origin) ||
        PageOrigin(page, &IQuillmarkBrowserPage::GetTopOrigin) != origin) {
        return std::nullopt;
    }
    return origin;
}

} // namespace

bool IsBrowserPage(IUnknown* site) {
    return static_cast<bool>(BrowserPageOf(site));
}

std::optional<Origin> OriginOf(IUnknown* site) {
    if (ComPtr<IQuillmarkBrowserPage> page = BrowserPageOf(site)) {
        return OriginOfBrowserPage(page.get());
    }
    // The object's own document decides: the browser names only the top page, and an object
    // in a frame of another site must not pass for the page around it. Without that document
    // there is no telling which page the object is in.
    std::optional<std::wstring> documentAddress;
    if (ComPtr<IHTMLDocument2> document = DocumentOf(site)) {
        BSTR text = nullptr;
        HRESULT hr = document->get_URL(&text);
        UniqueBstr address(text);
        if (SUCCEEDED(hr)) {
            documentAddress = WideText(address.get());
        }
    }
    if (!documentAddress) {
        return std::nullopt;
    }
    std::optional<Origin> origin = OriginOfAddress(documentAddress->c_str());
    // With a top page of another origin there is no one site the object belongs to (a listed
    // frame must not serve a foreign page either). A browser that knows no address (a blank
    // frame) leaves the word to the document.
    if (ComPtr<IWebBrowser2> browser = BrowserOf(site)) {
        BSTR text = nullptr;
        HRESULT hr = browser->get_LocationURL(&text);
        UniqueBstr address(text);
        if (SUCCEEDED(hr) && text != nullptr &&
            OriginOfAddress(WideText(address.get()).c_str()) != origin) {
            return std::nullopt;
        }
    }
    return origin;
}

HWND WindowOf(IUnknown* site) {
    HWND window = nullptr;
    if (ComPtr<IQuillmarkBrowserPage> page = BrowserPageOf(site)) {
        return SUCCEEDED(page->GetOwnerWindow(&window)) ? ExistingWindow(window) : nullptr;
    }
    if (ComPtr<IOleWindow> oleWindow = Ask<IOleWindow>(site, IID_IOleWindow);
        oleWindow && SUCCEEDED(oleWindow->GetWindow(&window)) && ExistingWindow(window)) {
        return window;
    }
    SHANDLE_PTR handle = 0;
    if (ComPtr<IWebBrowser2> browser = BrowserOf(site);
        browser && SUCCEEDED(browser->get_HWND(&handle))) {
        return ExistingWindow(reinterpret_cast<HWND>(handle));
    }
    return nullptr;
}

} // namespace qm::site
