// Where a page comes from, as far as the site lock and the per-site sessions care: the scheme,
// the host and the port of its address, nothing else. Addresses and list entries are both parsed
// by the system's URL parser (CreateUri), so that the two sides are read by the same rules and
// the tricks that fool hand-written parsers (user-info, backslashes, percent-encoding, numeric IP
// forms) are settled once, the way the browser settles them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace qm::site {

struct Origin {
    std::wstring scheme; // lower case
    // ASCII (international names in their "xn--" form), lower case, without a trailing dot;
    // IPv6 literals without their brackets. For file: the server of a share, empty for a local
    // page. Empty for the other schemes, whose pages are told apart by their scheme alone.
    std::wstring host;
    DWORD port = 0; // http(s): the scheme's default when the address names none; otherwise 0
    bool ipLiteral = false;

    bool HasHost() const { return !host.empty(); }
    // "https://bank.example", "https://bank.example:8443", "http://[::1]:8080", "file:",
    // "file://fileserver".
    std::wstring Text() const;
    bool operator==(const Origin&) const = default;
};

// The origin of a page's address; none when the address cannot be parsed, names http or https
// without a host, or is a page of no one's (about:, data:, blob:, javascript:, vbscript:), which
// any site can open and script.
std::optional<Origin> OriginOfAddress(const wchar_t* address);

// One entry of AllowedSites: "https://bank.example", "https://*.bank.example:8443", "file:" (local
// pages only), "file://fileserver" (the pages of that server's shares).
struct SitePattern {
    Origin origin;
    bool subdomains = false; // "*." before the host: any name below it, never the name itself
};

// None for an entry that names no origin (unparsable, user-info, a path-like "file:///..." or a
// wildcard over an IP literal): such an entry allows nothing.
std::optional<SitePattern> ParseSitePattern(const std::wstring& entry);

bool Matches(const SitePattern& pattern, const Origin& origin);

// Whether any entry of the list allows the origin.
bool IsListed(const std::vector<std::wstring>& entries, const Origin& origin);

// Whether a page of a modern browser at the origin may be served at all: https:, and for a site's
// developers http: of the machine itself (localhost, 127.0.0.1). A page sent in the clear could be
// anyone's on the way.
bool IsServedToBrowsers(const Origin& origin);

} // namespace qm::site
