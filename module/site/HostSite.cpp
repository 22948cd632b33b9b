#include "module/site/HostSite.h"

#include "automation/StringConversion.h"
#include "module/Raii.h"

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

ComPtr<IWebBrowser2> BrowserOf(IUnknown* site) {
    ComPtr<IServiceProvider> services = Ask<IServiceProvider>(site, IID_IServiceProvider);
    if (!services) {
        return {};
    }
    IWebBrowser2* browser = nullptr;
    HRESULT hr = services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2,
                                        reinterpret_cast<void**>(&browser));
    return Given(hr, browser);
}

ComPtr<IHTMLDocument2> DocumentOf(IUnknown* site) {
    ComPtr<IOleClientSite> clientSite = Ask<IOleClientSite>(site, IID_IOleClientSite);
    if (!clientSite) {
        return {};
    }
    IOleContainer* given = nullptr;
    HRESULT hr = clientSite->GetContainer(&given);
    ComPtr<IOleContainer> container = Given(hr, given);
    return Ask<IHTMLDocument2>(container.get(), IID_IHTMLDocument2);
}

std::wstring TextOf(const UniqueBstr& text) {
    return text.get() != nullptr ? std::wstring(text.get(), SysStringLen(text.get()))
                                 : std::wstring();
}

HWND ExistingWindow(HWND window) {
    return window != nullptr && IsWindow(window) ? window : nullptr;
}

} // namespace

std::optional<Origin> OriginOf(IUnknown* site) {
    // A browser that knows no address (a blank frame) leaves the word to the document.
    std::optional<std::wstring> browserAddress;
    if (ComPtr<IWebBrowser2> browser = BrowserOf(site)) {
        BSTR text = nullptr;
        HRESULT hr = browser->get_LocationURL(&text);
        UniqueBstr address(text);
        if (SUCCEEDED(hr) && text != nullptr) {
            browserAddress = TextOf(address);
        }
    }
    std::optional<std::wstring> documentAddress;
    if (ComPtr<IHTMLDocument2> document = DocumentOf(site)) {
        BSTR text = nullptr;
        HRESULT hr = document->get_URL(&text);
        UniqueBstr address(text);
        if (SUCCEEDED(hr)) {
            documentAddress = TextOf(address);
        }
    }
    if (!browserAddress) {
        return documentAddress ? OriginOfAddress(documentAddress->c_str()) : std::nullopt;
    }
    std::optional<Origin> origin = OriginOfAddress(browserAddress->c_str());
    // The browser names the top page; the object's own document may be a frame in it. A frame
    // of another site must not pass for the page around it, and with two origins there is no
    // one site the object belongs to.
    if (documentAddress && OriginOfAddress(documentAddress->c_str()) != origin) {
        return std::nullopt;
    }
    return origin;
}

HWND WindowOf(IUnknown* site) {
    HWND window = nullptr;
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
