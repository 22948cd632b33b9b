#include "site/Origin.h"

#include "platform/StringConversion.h"
#include "platform/Raii.h"

#include <urlmon.h>

#include <algorithm>
#include <cwctype>
#include <string_view>

namespace qm::site {

namespace {

bool IsWebScheme(const std::wstring& scheme) {
    return scheme == L"http" || scheme == L"https";
}

// Pages that any site can make and fill with its own script (an about:blank window, a data: or
// blob: document, a javascript: address): their scheme names no one, so they have no origin.
bool IsSchemeOfNoOne(const std::wstring& scheme) {
    return scheme == L"about" || scheme == L"data" || scheme == L"blob" ||
           scheme == L"javascript" || scheme == L"vbscript";
}

DWORD DefaultPort(const std::wstring& scheme) {
    if (scheme == L"https") {
        return 443;
    }
    return scheme == L"http" ? 80 : 0;
}

void LowerAscii(std::wstring& text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = wchar_t(c - L'A' + L'a');
        }
    }
}

bool IsAscii(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
}

// What a host may hold once the parser and the IDN conversion are done with it: the characters
// of a registered name and of an IP literal. Anything else (a backslash that a percent sign
// smuggled in, a space) makes the address one that matches nothing and names no session key.
bool IsHostCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
           std::wstring_view(L"-._~%!$&'()*+,;=:").find(c) != std::wstring_view::npos;
}

std::optional<std::wstring> AsciiHost(std::wstring host) {
    if (!IsAscii(host)) {
        wchar_t ascii[256] = {};
        int length = IdnToAscii(0, host.c_str(), int(host.size()), ascii, int(std::size(ascii)));
        if (length <= 0) {
            return std::nullopt;
        }
        host.assign(ascii, size_t(length));
    }
    LowerAscii(host);
    // "bank.example." is the same name in the DNS as "bank.example"; one spelling serves both.
    if (!host.empty() && host.back() == L'.') {
        host.pop_back();
    }
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostCharacter)) {
        return std::nullopt;
    }
    return host;
}

std::wstring Text(IUri* uri, HRESULT (STDMETHODCALLTYPE IUri::*property)(BSTR*)) {
    BSTR text = nullptr;
    HRESULT hr = (uri->*property)(&text);
    UniqueBstr owned(text);
    return SUCCEEDED(hr) ? WideText(owned.get()) : std::wstring();
}

// The length of the slash that `path` begins with: 1 for "/" or "\\", 3 for "%2F" or "%5C", and 0
// when it begins with none.
size_t SlashInFront(std::wstring_view path) {
    if (!path.empty() && (path[0] == L'/' || path[0] == L'\\')) {
        return 1;
    }
    bool escaped = path.size() >= 3 && (_wcsnicmp(path.data(), L"%2f", 3) == 0 ||
                                        _wcsnicmp(path.data(), L"%5c", 3) == 0);
    return escaped ? 3 : 0;
}

// Windows opens "file:////server/share/page.html" as \\server\share\page.html: a path that begins
// with two slashes (or backslashes, written plainly or percent-encoded) names a share however the
// address spells it.
bool NamesAShare(std::wstring_view path) {
    size_t first = SlashInFront(path);
    return first != 0 && SlashInFront(path.substr(first)) != 0;
}

ComPtr<IUri> Parse(const std::wstring& address) {
    IUri* uri = nullptr;
    if (FAILED(CreateUri(address.c_str(), Uri_CREATE_CANONICALIZE, 0, &uri)) || uri == nullptr) {
        return {};
    }
    return ComPtr<IUri>::Adopt(uri);
}

void SetHost(IUri* uri, Origin& origin, std::wstring host) {
    DWORD hostType = Uri_HOST_UNKNOWN;
    uri->GetHostType(&hostType);
    origin.ipLiteral = hostType == Uri_HOST_IPV4 || hostType == Uri_HOST_IPV6;
    origin.host = std::move(host);
}

// A file: page is local (no host) or on a share, which is told apart by its server's name. The
// server of a WebDAV share ("file://host@SSL/...") is the whole of the authority, user-info and
// all, and no entry can name that: such an address, like one with a port, has no origin.
std::optional<Origin> FileOrigin(IUri* uri, Origin origin) {
    BOOL hasUserInfo = FALSE;
    BOOL hasPort = FALSE;
    uri->HasProperty(Uri_PROPERTY_USER_INFO, &hasUserInfo);
    uri->HasProperty(Uri_PROPERTY_PORT, &hasPort);
    if (hasUserInfo || hasPort) {
        return std::nullopt;
    }
    std::wstring host = Text(uri, &IUri::GetHost);
    if (host.empty() || _wcsicmp(host.c_str(), L"localhost") == 0) {
        if (NamesAShare(Text(uri, &IUri::GetPath))) {
            return std::nullopt;
        }
        return origin;
    }
    std::optional<std::wstring> ascii = AsciiHost(std::move(host));
    if (!ascii) {
        return std::nullopt;
    }
    SetHost(uri, origin, std::move(*ascii));
    return origin;
}

std::optional<Origin> OriginOf(IUri* uri) {
    Origin origin;
    origin.scheme = Text(uri, &IUri::GetSchemeName);
    LowerAscii(origin.scheme);
    if (origin.scheme.empty() || IsSchemeOfNoOne(origin.scheme)) {
        return std::nullopt;
    }
    if (origin.scheme == L"file") {
        return FileOrigin(uri, std::move(origin));
    }
    if (!IsWebScheme(origin.scheme)) {
        return origin; // ftp:, mailto:... are told apart by scheme alone
    }
    std::optional<std::wstring> host = AsciiHost(Text(uri, &IUri::GetHost));
    if (!host) {
        return std::nullopt;
    }
    SetHost(uri, origin, std::move(*host));
    if (FAILED(uri->GetPort(&origin.port))) {
        origin.port = DefaultPort(origin.scheme);
    }
    return origin;
}

std::wstring Trimmed(const std::wstring& text) {
    size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(L" \t\r\n");
    return text.substr(first, last - first + 1);
}

// "file:", "about:": a scheme name and its colon, nothing more.
bool IsSchemeOnly(const std::wstring& entry) {
    if (entry.size() < 2 || entry.back() != L':' || !std::iswalpha(entry.front()) ||
        !IsAscii(entry)) {
        return false;
    }
    return std::all_of(entry.begin(), entry.end() - 1, [](wchar_t c) {
        return std::iswalnum(c) || c == L'+' || c == L'-' || c == L'.';
    });
}

} // namespace

std::wstring Origin::Text() const {
    if (!HasHost()) {
        return scheme + L":";
    }
    std::wstring text = scheme + L"://";
    text += host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host;
    if (port != DefaultPort(scheme)) {
        text += L":" + std::to_wstring(port);
    }
    return text;
}

std::optional<Origin> OriginOfAddress(const wchar_t* address) {
    if (address == nullptr || address[0] == L'\0') {
        return std::nullopt;
    }
    ComPtr<IUri> uri = Parse(address);
    return uri ? OriginOf(uri.get()) : std::nullopt;
}

std::optional<SitePattern> ParseSitePattern(const std::wstring& text) {
    std::wstring entry = Trimmed(text);
    SitePattern pattern;
    if (IsSchemeOnly(entry)) {
        pattern.origin.scheme = entry.substr(0, entry.size() - 1);
        LowerAscii(pattern.origin.scheme);
        // "https:" would open the lock to every site: an entry must name one. "about:" and its
        // kind name no one.
        if (IsWebScheme(pattern.origin.scheme) || IsSchemeOfNoOne(pattern.origin.scheme)) {
            return std::nullopt;
        }
        return pattern;
    }
    size_t authority = entry.find(L"://");
    if (authority != std::wstring::npos && entry.compare(authority + 3, 2, L"*.") == 0) {
        pattern.subdomains = true;
        entry.erase(authority + 3, 2);
    }
    ComPtr<IUri> uri = Parse(entry);
    if (!uri) {
        return std::nullopt;
    }
    BOOL hasUserInfo = FALSE;
    uri->HasProperty(Uri_PROPERTY_USER_INFO, &hasUserInfo);
    std::optional<Origin> origin = OriginOf(uri.get());
    if (!origin || !origin->HasHost() || hasUserInfo ||
        origin->host.find(L'*') != std::wstring::npos ||
        (pattern.subdomains && origin->ipLiteral)) {
        return std::nullopt;
    }
    pattern.origin = std::move(*origin);
    return pattern;
}

bool Matches(const SitePattern& pattern, const Origin& origin) {
    const Origin& allowed = pattern.origin;
    if (allowed.scheme != origin.scheme || allowed.HasHost() != origin.HasHost()) {
        return false;
    }
    if (!allowed.HasHost()) {
        return true;
    }
    if (allowed.port != origin.port) {
        return false;
    }
    if (!pattern.subdomains) {
        return allowed.host == origin.host;
    }
    const std::wstring suffix = L"." + allowed.host;
    return !origin.ipLiteral && origin.host.size() > suffix.size() &&
           origin.host.compare(origin.host.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsListed(const std::vector<std::wstring>& entries, const Origin& origin) {
    return std::any_of(entries.begin(), entries.end(), [&](const std::wstring& entry) {
        std::optional<SitePattern> pattern = ParseSitePattern(entry);
        return pattern && Matches(*pattern, origin);
    });
}

bool IsServedToBrowsers(const Origin& origin) {
    return origin.scheme == L"https" || (origin.scheme == L"http" && (origin.host == L"localhost" ||
                                                                      origin.host == L"127.0.0.1"));
}

} // namespace qm::site
