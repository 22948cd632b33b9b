// The site that the host gives each object: it offers the browser-page service alone
// (site/BrowserPage.h), with the page's origin and its top page's origin as the extension read
// them from the browser, and the window the browser named to the host. The site lock in
// Quillmark.dll judges the page by it, as it judges a page in Internet Explorer by the browser's
// own site.
#pragma once

#include "platform/Raii.h"

#include <windows.h>

#include <string>

namespace qm::browser {

// A new site with one reference, the caller's.
ComPtr<IUnknown> MakePageSite(std::wstring origin, std::wstring topOrigin, HWND owner);

} // namespace qm::browser
