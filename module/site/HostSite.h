// What the host says about the page through the site it gave the object: the page's address and
// the window the page is shown in. A browser answers through its service provider (the web
// browser application's IWebBrowser2); other hosts through the OLE client site, its container
// (the HTML document) and IOleWindow.
#pragma once

#include <windows.h>

#include <unknwn.h>

#include <string>

namespace qm::site {

// The page's address as the host reports it; empty when the site offers none.
std::wstring AddressOf(IUnknown* site);

// The host's window, to own the dialogs; null when the site names no window that exists.
HWND WindowOf(IUnknown* site);

} // namespace qm::site
