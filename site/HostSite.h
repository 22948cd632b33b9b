// What the host says about the page through the site it gave the object: the page's address and
// the window the page is shown in. A browser answers through its service provider (the web
// browser application's IWebBrowser2, and for an object a script made, the script's document);
// hosts of the page's markup through the OLE client site, its container (the HTML document) and
// IOleWindow. A program that serves the pages of a modern browser answers through the
// browser-page service of its own (site/BrowserPage.h).
#pragma once

#include <windows.h>

#include <unknwn.h>

#include "site/Origin.h"

#include <optional>

namespace qm::site {

// Whether the site is a modern browser's page, served through the browser-page service.
bool IsBrowserPage(IUnknown* site);

// The origin of the document the object is in, from the address the host reports. None when the
// site offers no such document, its address does not parse, or the browser's page and the
// object's own document (a frame in that page) are of different origins; for a modern browser's
// page also when the page is not one that such browsers may be served at (IsServedToBrowsers).
std::optional<Origin> OriginOf(IUnknown* site);

// The host's window, to own the dialogs; null when the site names no window that exists.
HWND WindowOf(IUnknown* site);

} // namespace qm::site
