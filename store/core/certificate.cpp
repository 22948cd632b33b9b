#include "store/core/certificate.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cctype>
#include <climits>
#include <ctime>

namespace ledra {
namespace {

// A UTC calendar time in seconds since 1970, on every platform (Windows has no timegm): the
// days since 1970-03-01 counted in 400-year cycles of the proleptic Gregorian calendar.
int64_t SecondsSince1970(const struct tm& tm) {
    int64_t month = tm.tm_mon + 1;
    int64_t year = tm.tm_year + 1900LL - (month <= 2 ? 1 : 0);
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + tm.tm_mday - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    int64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

std::string AttributeName(const ASN1_OBJECT* object) {
    int nid = OBJ_obj2nid(object);
    std::string name;
    if (nid != NID_undef) {
        if (const char* sn = OBJ_nid2sn(nid)) {
            name = sn;
        }
    }
    if (name.empty()) {
        char dotted[128];
        int n = OBJ_obj2txt(dotted, sizeof(dotted), object, 1);
        if (n <= 0 || n >= static_cast<int>(sizeof(dotted))) {
            return {};
        }
        name = dotted;
    }
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

void AppendHex(std::string& out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
}

// RFC 4514 section 2.4: the characters that would change the meaning of the text are escaped;
// control characters (a NUL above all, which would end the narrow text early) become \XX.
std::string EscapeValue(const unsigned char* data, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = data[i];
        bool special = c == '"' || c == '+' || c == ',' || c == ';' || c == '<' || c == '>' ||
                       c == '\\' || (i == 0 && (c == '#' || c == ' ')) ||
                       (i + 1 == length && c == ' ');
        if (c < 0x20 || c == 0x7F) {
            out += '\\';
            AppendHex(out, c);
        } else if (special) {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A value that is not a text type: '#' and the hex of its DER encoding, as RFC 4514 writes it.
std::optional<std::string> HexValue(const ASN1_STRING* value) {
    ASN1_TYPE* type = ASN1_TYPE_new();
    if (type == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> out;
    if (ASN1_TYPE_set1(type, ASN1_STRING_type(value), value) == 1) {
        unsigned char* der = nullptr;
        int n = i2d_ASN1_TYPE(type, &der);
        if (n > 0) {
            std::string text = "#";
            for (int i = 0; i < n; ++i) {
                AppendHex(text, der[i]);
            }
            out = std::move(text);
        }
        OPENSSL_free(der);
    }
    ASN1_TYPE_free(type);
    return out;
}

std::optional<std::string> ValueText(const ASN1_STRING* value) {
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, value);
    if (n < 0) {
        return HexValue(value);
    }
    std::string text = EscapeValue(utf8, static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return text;
}

} // namespace

X509Ptr ParseCertificate(std::span<const uint8_t> der) {
    if (der.empty() || der.size() > LONG_MAX) {
        return nullptr;
    }
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (cert == nullptr || p != der.data() + der.size()) {
        return nullptr;
    }
    return cert;
}

std::optional<std::string> NameText(const X509_NAME* name) {
    if (name == nullptr) {
        return std::nullopt;
    }
    // RDNs from the last to the first; the values of one multi-valued RDN (entries that share a
    // set number) in their own order, joined by '+'.
    std::string text;
    int end = X509_NAME_entry_count(name);
    while (end > 0) {
        int begin = end - 1;
        int set = X509_NAME_ENTRY_set(X509_NAME_get_entry(name, begin));
        while (begin > 0 && X509_NAME_ENTRY_set(X509_NAME_get_entry(name, begin - 1)) == set) {
            --begin;
        }
        if (!text.empty()) {
            text += ',';
        }
        for (int i = begin; i < end; ++i) {
            const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
            std::string attribute = AttributeName(X509_NAME_ENTRY_get_object(entry));
            std::optional<std::string> value = ValueText(X509_NAME_ENTRY_get_data(entry));
            if (attribute.empty() || !value) {
                return std::nullopt;
            }
            if (i != begin) {
                text += '+';
            }
            text += attribute;
            text += '=';
            text += *value;
        }
        end = begin;
    }
    return text;
}

std::optional<int64_t> NotAfter(const X509* cert) {
    const ASN1_TIME* t = X509_get0_notAfter(cert);
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return std::nullopt;
    }
    return SecondsSince1970(tm);
}

int32_t ClampTime32(int64_t seconds) {
    if (seconds > INT32_MAX) {
        return INT32_MAX;
    }
    if (seconds < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(seconds);
}

std::string Fingerprint(std::span<const uint8_t> der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &n, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        AppendHex(hex, digest[i]);
    }
    return hex;
}

} // namespace ledra
