#include "module/site/Origin.h"

#include "automation/StringConversion.h"
#include "module/Raii.h"

#include <urlmon.h>

#include <algorithm>
#include <cwctype>

namespace qm::site {

namespace {

bool IsWebScheme(const std::wstring& scheme) {
    return scheme == L"http" || scheme == L"https";
}

DWORD DefaultPort(const std::wstring& scheme) {
    return scheme == L"https" ? 443 : 80;
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
    if (FAILED(hr) || text == nullptr) {
        return {};
    }
    return std::wstring(text, SysStringLen(text));
}

ComPtr<IUri> Parse(const std::wstring& address) {
    IUri* uri = nullptr;
    if (FAILED(CreateUri(address.c_str(), Uri_CREATE_CANONICALIZE, 0, &uri)) || uri == nullptr) {
        return {};
    }
    return ComPtr<IUri>::Adopt(uri);
}

std::optional<Origin> OriginOf(IUri* uri) {
    Origin origin;
    origin.scheme = Text(uri, &IUri::GetSchemeName);
    LowerAscii(origin.scheme);
    if (origin.scheme.empty()) {
        return std::nullopt;
    }
    if (!IsWebScheme(origin.scheme)) {
        return origin; // file:, about:, data:, javascript:... are told apart by scheme alone
    }
    DWORD hostType = Uri_HOST_UNKNOWN;
    uri->GetHostType(&hostType);
    origin.ipLiteral = hostType == Uri_HOST_IPV4 || hostType == Uri_HOST_IPV6;
    std::optional<std::wstring> host = AsciiHost(Text(uri, &IUri::GetHost));
    if (!host) {
        return std::nullopt;
    }
    origin.host = std::move(*host);
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
        // "https:" would open the lock to every site: an entry must name one.
        if (IsWebScheme(pattern.origin.scheme)) {
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

} // namespace qm::site
