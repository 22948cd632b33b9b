// The browser-page service: how a program that serves the pages of a modern browser (the native
// messaging host, quillmark-host.exe) tells an object which page it works for. The host gives each
// object a site whose service provider offers this service; the page's origin and its top page's
// origin are the browser's own word (the extension reads them from the browser, never from the
// page), and the owner window is the one the browser named to the host, if any.
//
// An object whose site offers the service is an object of a browser page: the site lock is always
// on for it (a policy or a user's SiteLock 1 keeps "listed sites only", anything else becomes
// "listed sites, and the user is asked"), each site keeps a session of its own, and only https:
// pages, and http: pages of localhost and 127.0.0.1, are served. A page in Internet Explorer cannot
// offer the service (its site is the browser's), so nothing changes for pages there.
//
// The interface is the contract between Quillmark.dll and the host, written in the COM style of
// the system's headers so that tests can implement it in C-style COM too.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <unknwn.h>

// {DE600300-11B3-421F-8CB6-722B07CC2162}: the service, asked for with IServiceProvider.
inline constexpr GUID SID_QuillmarkBrowserPage = {
    0xde600300, 0x11b3, 0x421f, {0x8c, 0xb6, 0x72, 0x2b, 0x07, 0xcc, 0x21, 0x62}};
// {F3E19BBE-0A07-484A-82E0-AA29F442DD58}: its interface.
inline constexpr GUID IID_IQuillmarkBrowserPage = {
    0xf3e19bbe, 0x0a07, 0x484a, {0x82, 0xe0, 0xaa, 0x29, 0xf4, 0x42, 0xdd, 0x58}};

#undef INTERFACE
#define INTERFACE IQuillmarkBrowserPage
DECLARE_INTERFACE_(IQuillmarkBrowserPage, IUnknown) {
    STDMETHOD(QueryInterface)(THIS_ REFIID iid, void** out) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
    // The origin of the document the object works for ("https://bank.example:8443"), as a new
    // BSTR that the caller frees.
    STDMETHOD(GetOrigin)(THIS_ BSTR * origin) PURE;
    // The origin of that document's top-level page: the same text for a top-level page, another
    // for a frame of another site.
    STDMETHOD(GetTopOrigin)(THIS_ BSTR * origin) PURE;
    // The browser's window, to own the dialogs; null when the browser named none.
    STDMETHOD(GetOwnerWindow)(THIS_ HWND * window) PURE;
};
#undef INTERFACE
