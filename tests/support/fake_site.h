// A host's site as a browser gives one to an object: through its service provider, the web
// browser application (IWebBrowser2: the top page's address and the browser's window) and, for
// an object a script made, the script's document; through the OLE client site, its container, the
// page's document (IHTMLDocument2: the address); and IOleWindow (the window). Each way is offered
// only when a test asks for it. A native messaging host's site offers the browser-page service
// instead (site/BrowserPage.h). Used by the tests that play the browser and by the benchmark of the
// site check.
#pragma once

#include <windows.h>

#include <string>

namespace qmtest {

struct SiteAnswers {
    bool browser = false;         // IServiceProvider: SID_SWebBrowserApp gives an IWebBrowser2
    std::wstring browserAddress;  // its get_LocationURL
    HWND browserWindow = nullptr; // its get_HWND
    bool document = false;        // IOleClientSite: GetContainer gives the page's document
    bool documentService = false; // IServiceProvider: SID_SContainerDispatch gives it
    std::wstring documentAddress; // its IHTMLDocument2::get_URL
    HWND oleWindow = nullptr;     // IOleWindow::GetWindow; the site offers no IOleWindow when null
    bool browserPage = false;     // IServiceProvider: SID_QuillmarkBrowserPage gives the page
    std::wstring pageOrigin;      // its GetOrigin
    std::wstring topOrigin;       // its GetTopOrigin
    HWND pageOwner = nullptr;     // its GetOwnerWindow
};

// What the site was asked, and how many references it has.
struct SiteCounters {
    int addressReads = 0;
    LONG refs = 0;
};

// A new site with one reference (the caller's); `counters` must outlive it. As an IUnknown*.
void* NewFakeSite(const SiteAnswers& answers, SiteCounters* counters);

// A browser's site (a script's, services alone) for an object in the top page at the address.
inline SiteAnswers BrowserAt(const std::wstring& address, HWND window = nullptr) {
    SiteAnswers answers;
    answers.browser = true;
    answers.browserAddress = address;
    answers.browserWindow = window;
    answers.documentService = true;
    answers.documentAddress = address;
    return answers;
}

// The same for an object in a frame at `frame` inside the top page at `page`.
inline SiteAnswers FrameIn(const std::wstring& page, const std::wstring& frame) {
    SiteAnswers answers = BrowserAt(page);
    answers.documentAddress = frame;
    return answers;
}

// A modern browser's page at `origin` (in a frame when `top` names another), as the native
// messaging host describes it.
inline SiteAnswers BrowserPageAt(const std::wstring& origin, const std::wstring& top = {},
                                 HWND owner = nullptr) {
    SiteAnswers answers;
    answers.browserPage = true;
    answers.pageOrigin = origin;
    answers.topOrigin = top.empty() ? origin : top;
    answers.pageOwner = owner;
    return answers;
}

#ifndef CINTERFACE
// Owns one reference to a fake site for its scope.
class FakeSite {
public:
    explicit FakeSite(const SiteAnswers& answers)
        : site_(static_cast<IUnknown*>(NewFakeSite(answers, &counters_))) {}
    FakeSite(const FakeSite&) = delete;
    FakeSite& operator=(const FakeSite&) = delete;
    ~FakeSite() { site_->Release(); }
    IUnknown* get() const { return site_; }
    const SiteCounters& counters() const { return counters_; }

private:
    SiteCounters counters_;
    IUnknown* site_;
};
#endif

} // namespace qmtest
