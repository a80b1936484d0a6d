// Certificate fields through GnuTLS, plus a small bounded DER reader for the
// subject directory attributes, which GnuTLS leaves undecoded.

#include "component/CertFields.h"

#include "component/CodePage.h"
#include "component/Token.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

struct CrtFree {
    void operator()(gnutls_x509_crt_t crt) const { gnutls_x509_crt_deinit(crt); }
};
using CrtPtr = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CrtFree>;

CrtPtr parse(const std::string& der) {
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) < 0)
        return CrtPtr();
    gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                     static_cast<unsigned>(der.size())};
    if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) < 0) {
        gnutls_x509_crt_deinit(crt);
        return CrtPtr();
    }
    return CrtPtr(crt);
}

std::string datumText(const gnutls_datum_t& d) {
    return std::string(reinterpret_cast<const char*>(d.data), d.size);
}

// ---------------------------------------------------------------------------
// DER reading (bounded; every length is checked against what remains)
// ---------------------------------------------------------------------------

struct Tlv {
    unsigned tag = 0;
    const unsigned char* value = nullptr;
    size_t length = 0;
};

bool readTlv(const unsigned char*& p, const unsigned char* end, Tlv& out) {
    if (end - p < 2)
        return false;
    out.tag = *p++;
    if ((out.tag & 0x1F) == 0x1F)
        return false; // high tag numbers: not in these structures
    size_t length = *p++;
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(end - p) < count)
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | *p++;
    }
    if (length > static_cast<size_t>(end - p))
        return false;
    out.value = p;
    out.length = length;
    p += length;
    return true;
}

// Dotted text of an OID's contents. Arcs are kept as decimal texts of any
// size: UUID arcs (2.25.<128 bits>) do not fit 64 bits.
std::string oidTextWide(const unsigned char* p, size_t length) {
    if (length == 0 || length > 128)
        return std::string();
    std::string out;
    std::vector<unsigned> digits; // decimal digits of the current arc, least significant first
    bool first = true;
    for (size_t i = 0; i < length; ++i) {
        unsigned carry = p[i] & 0x7F;
        for (unsigned& d : digits) {
            unsigned v = d * 128 + carry;
            d = v % 10;
            carry = v / 10;
        }
        while (carry) {
            digits.push_back(carry % 10);
            carry /= 10;
        }
        if (p[i] & 0x80) {
            if (i + 1 == length)
                return std::string();
            continue;
        }
        std::string arc;
        for (auto it = digits.rbegin(); it != digits.rend(); ++it)
            arc += char('0' + *it);
        if (arc.empty())
            arc = "0";
        if (first) {
            // The first subidentifier joins two arcs (40 * a + b); ours stay small.
            if (arc.size() > 18)
                return std::string();
            unsigned long long v = std::stoull(arc);
            unsigned long long a = v < 40 ? 0 : v < 80 ? 1 : 2;
            out = std::to_string(a) + "." + std::to_string(v - a * 40);
            first = false;
        } else {
            out += "." + arc;
        }
        digits.clear();
    }
    return out;
}

std::string hexOf(const unsigned char* p, size_t length) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += hex[p[i] >> 4];
        out += hex[p[i] & 15];
    }
    return out;
}

std::string timeText(const unsigned char* p, size_t length, bool generalized) {
    std::string t(reinterpret_cast<const char*>(p), length);
    if (!generalized) {
        if (t.size() < 12)
            return t;
        t = (t.compare(0, 2, "50") >= 0 ? "19" : "20") + t;
    }
    if (t.size() < 14)
        return t;
    return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + "T" + t.substr(8, 2) +
           ":" + t.substr(10, 2) + ":" + t.substr(12, 2) + "Z";
}

// A string value in another character set as UTF-8; empty when its bytes are
// not valid in that set.
std::string convertedText(const Tlv& v, const char* charset) {
    std::string out;
    if (codePageToUtf8(std::string(reinterpret_cast<const char*>(v.value), v.length), charset,
                       65001, out) == kTokenOk)
        return out;
    return std::string();
}

// One attribute value as text for a page.
std::string valueText(const Tlv& v) {
    switch (v.tag) {
    case 0x0C: // UTF8String
    case 0x13: // PrintableString
    case 0x16: // IA5String
    case 0x12: // NumericString
    case 0x1A: // VisibleString
        return std::string(reinterpret_cast<const char*>(v.value), v.length);
    case 0x14: // TeletexString, read as Latin-1
        return convertedText(v, "ISO-8859-1");
    case 0x1E: // BMPString
        return convertedText(v, "UTF-16BE");
    case 0x1C: // UniversalString
        return convertedText(v, "UTF-32BE");
    case 0x06:
        return oidTextWide(v.value, v.length);
    case 0x18:
        return timeText(v.value, v.length, true);
    case 0x17:
        return timeText(v.value, v.length, false);
    case 0x02:
        return hexOf(v.value, v.length);
    case 0x01:
        return v.length == 1 && v.value[0] ? "true" : "false";
    default:
        return hexOf(v.value, v.length);
    }
}

struct Attribute {
    std::string oid;
    std::vector<std::string> values;
};

// Subject directory attributes; false when the extension is malformed.
bool readDirectoryAttributes(gnutls_x509_crt_t crt, std::vector<Attribute>& out, bool& outPresent) {
    out.clear();
    outPresent = false;
    gnutls_datum_t ext{};
    unsigned critical = 0;
    if (gnutls_x509_crt_get_extension_by_oid2(crt, "2.5.29.9", 0, &ext, &critical) < 0)
        return true;
    outPresent = true;
    std::string bytes = datumText(ext);
    gnutls_free(ext.data);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* end = p + bytes.size();
    Tlv seq;
    if (!readTlv(p, end, seq) || seq.tag != 0x30)
        return false;
    const unsigned char* q = seq.value;
    const unsigned char* qend = seq.value + seq.length;
    while (q < qend) {
        Tlv attr, type, set;
        if (!readTlv(q, qend, attr) || attr.tag != 0x30)
            return false;
        const unsigned char* a = attr.value;
        const unsigned char* aend = attr.value + attr.length;
        if (!readTlv(a, aend, type) || type.tag != 0x06)
            return false;
        if (!readTlv(a, aend, set) || set.tag != 0x31)
            return false;
        Attribute attribute;
        attribute.oid = oidTextWide(type.value, type.length);
        const unsigned char* s = set.value;
        const unsigned char* send = set.value + set.length;
        while (s < send) {
            Tlv v;
            if (!readTlv(s, send, v))
                return false;
            attribute.values.push_back(valueText(v));
        }
        out.push_back(std::move(attribute));
    }
    return true;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i)
            out += ";";
        out += items[i];
    }
    return out;
}

// The attribute from the subject directory attributes, else from the subject.
long attributeValue(const std::string& der, const char* oid, std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    std::vector<Attribute> attrs;
    bool present = false;
    if (readDirectoryAttributes(crt.get(), attrs, present)) {
        for (const Attribute& a : attrs) {
            if (a.oid == oid && !a.values.empty()) {
                out = a.values.front();
                return kTokenOk;
            }
        }
    }
    // Raw value (tag, length, contents): GnuTLS gives unknown attribute
    // types such as organizationIdentifier only as "#hex" text.
    unsigned char buf[2048];
    size_t size = sizeof buf;
    if (gnutls_x509_crt_get_dn_by_oid(crt.get(), oid, 0, 1, buf, &size) >= 0) {
        const unsigned char* p = buf;
        Tlv value;
        if (readTlv(p, buf + size, value)) {
            out = valueText(value);
            return kTokenOk;
        }
    }
    return kTokenNoField;
}

long dnText(const std::string& der, long flags, bool issuer, std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    if (flags == 1) {
        char buf[1024];
        size_t size = sizeof buf;
        int rc = issuer ? gnutls_x509_crt_get_issuer_dn_by_oid(
                              crt.get(), GNUTLS_OID_X520_COMMON_NAME, 0, 0, buf, &size)
                        : gnutls_x509_crt_get_dn_by_oid(crt.get(), GNUTLS_OID_X520_COMMON_NAME, 0,
                                                        0, buf, &size);
        if (rc < 0)
            return kTokenNoField;
        out.assign(buf, strnlen(buf, size));
        return kTokenOk;
    }
    if (flags != 0)
        return kTokenBadArgument;
    gnutls_datum_t dn{};
    int rc = issuer ? gnutls_x509_crt_get_issuer_dn3(crt.get(), &dn, 0)
                    : gnutls_x509_crt_get_dn3(crt.get(), &dn, 0);
    if (rc < 0)
        return kTokenNoField;
    out = datumText(dn);
    gnutls_free(dn.data);
    return kTokenOk;
}

long timeField(const std::string& der, long flags, bool notAfter, std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    time_t t = notAfter ? gnutls_x509_crt_get_expiration_time(crt.get())
                        : gnutls_x509_crt_get_activation_time(crt.get());
    if (t == static_cast<time_t>(-1))
        return kTokenNoField;
    if (flags == 1) {
        out = std::to_string(static_cast<long long>(t));
        return kTokenOk;
    }
    if (flags != 0)
        return kTokenBadArgument;
    struct tm tm {};
    if (!gmtime_r(&t, &tm))
        return kTokenNoField;
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    out = buf;
    return kTokenOk;
}

// Decimal text of a big-endian unsigned number.
std::string decimalOf(const std::string& bytes) {
    std::vector<unsigned char> n(bytes.begin(), bytes.end());
    std::string digits;
    bool nonzero = true;
    while (nonzero) {
        nonzero = false;
        unsigned remainder = 0;
        for (unsigned char& b : n) {
            unsigned v = (remainder << 8) | b;
            b = static_cast<unsigned char>(v / 10);
            remainder = v % 10;
            if (b)
                nonzero = true;
        }
        digits += static_cast<char>('0' + remainder);
    }
    return std::string(digits.rbegin(), digits.rend());
}

} // namespace

long certSerialNumber(const std::string& der, long flags, std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    unsigned char buf[64];
    size_t size = sizeof buf;
    if (gnutls_x509_crt_get_serial(crt.get(), buf, &size) < 0)
        return kTokenNoField;
    if (flags == 0) {
        out = hexOf(buf, size);
    } else if (flags == 1) {
        out = decimalOf(std::string(reinterpret_cast<char*>(buf), size));
    } else {
        return kTokenBadArgument;
    }
    return kTokenOk;
}

long certIssuer(const std::string& der, long flags, std::string& out) {
    return dnText(der, flags, true, out);
}

long certSubject(const std::string& der, long flags, std::string& out) {
    return dnText(der, flags, false, out);
}

long certPublicKey(const std::string& der, long flags, std::string& out) {
    if (flags != 0 && flags != 1)
        return kTokenBadArgument;
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    gnutls_pubkey_t pub = nullptr;
    if (gnutls_pubkey_init(&pub) < 0)
        return kTokenNoMemory;
    long rc = kTokenOk;
    gnutls_datum_t spki{};
    if (gnutls_pubkey_import_x509(pub, crt.get(), 0) < 0 ||
        gnutls_pubkey_export2(pub, flags == 1 ? GNUTLS_X509_FMT_PEM : GNUTLS_X509_FMT_DER, &spki) <
            0) {
        rc = kTokenNoField;
    } else {
        out = flags == 1 ? datumText(spki) : base64Encode(datumText(spki));
        gnutls_free(spki.data);
    }
    gnutls_pubkey_deinit(pub);
    return rc;
}

long certNotBefore(const std::string& der, long flags, std::string& out) {
    return timeField(der, flags, false, out);
}

long certNotAfter(const std::string& der, long flags, std::string& out) {
    return timeField(der, flags, true, out);
}

long certVersion(const std::string& der, long, std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    int version = gnutls_x509_crt_get_version(crt.get());
    if (version < 0)
        return kTokenNoField;
    out = std::to_string(version);
    return kTokenOk;
}

long certType(const std::string& der, long, long& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    long usage = 0, kind = 0;
    tokenCertificateClass(crt.get(), usage, kind);
    unsigned critical = 0;
    out = usage;
    if (gnutls_x509_crt_get_ca_status(crt.get(), &critical) > 0)
        out |= 4;
    return kTokenOk;
}

long certTypeOid(const std::string& der, long flags, std::string& out) {
    if (flags != 0 && flags != 1)
        return kTokenBadArgument;
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    // Read here rather than by GnuTLS, which refuses arcs beyond 64 bits
    // (UUID arcs such as 2.25.<128 bits>).
    std::vector<std::string> oids;
    gnutls_datum_t ext{};
    unsigned critical = 0;
    if (gnutls_x509_crt_get_extension_by_oid2(crt.get(), "2.5.29.32", 0, &ext, &critical) < 0)
        return kTokenNoField;
    std::string bytes = datumText(ext);
    gnutls_free(ext.data);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    Tlv seq;
    if (!readTlv(p, p + bytes.size(), seq) || seq.tag != 0x30)
        return kTokenBadCertificate;
    const unsigned char* q = seq.value;
    const unsigned char* end = seq.value + seq.length;
    while (q < end) {
        Tlv info, oid;
        if (!readTlv(q, end, info) || info.tag != 0x30)
            return kTokenBadCertificate;
        const unsigned char* r = info.value;
        if (!readTlv(r, info.value + info.length, oid) || oid.tag != 0x06)
            return kTokenBadCertificate;
        std::string text = oidTextWide(oid.value, oid.length);
        if (text.empty())
            return kTokenBadCertificate;
        oids.push_back(text);
    }
    if (oids.empty())
        return kTokenNoField;
    out = flags == 1 ? joined(oids) : oids.front();
    return kTokenOk;
}

long certEntityOid(const std::string& der, long, std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    std::vector<Attribute> attrs;
    bool present = false;
    if (!readDirectoryAttributes(crt.get(), attrs, present))
        return kTokenBadCertificate;
    for (const Attribute& a : attrs) {
        if (a.oid == KESTROVA_ENTITY_TYPE_OID && !a.values.empty()) {
            out = a.values.front();
            return kTokenOk;
        }
    }
    return kTokenNoField;
}

long certOrganizationId(const std::string& der, long, std::string& out) {
    return attributeValue(der, "2.5.4.97", out);
}

long certCardHolderRank(const std::string& der, long, std::string& out) {
    return attributeValue(der, "2.5.4.12", out);
}

long certTailOfCitizenId(const std::string& der, long flags, std::string& out) {
    if (flags < 0 || flags > 16)
        return kTokenBadArgument;
    size_t count = flags == 0 ? 4 : static_cast<size_t>(flags);
    std::string id;
    long rc = attributeValue(der, "2.5.4.5", id);
    if (rc != kTokenOk)
        return rc;
    // Characters, not bytes: the ID may hold non-ASCII letters.
    size_t start = id.size();
    for (size_t taken = 0; start > 0 && taken < count;) {
        --start;
        if ((static_cast<unsigned char>(id[start]) & 0xC0) != 0x80)
            ++taken;
    }
    out = id.substr(start);
    return kTokenOk;
}

long certSubjectDirectoryAttrs(const std::string& der, const std::string& oid, long,
                               std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    std::vector<Attribute> attrs;
    bool present = false;
    if (!readDirectoryAttributes(crt.get(), attrs, present))
        return kTokenBadCertificate;
    if (!present)
        return kTokenNoField;
    std::vector<std::string> items;
    for (const Attribute& a : attrs) {
        if (oid.empty()) {
            for (const std::string& v : a.values)
                items.push_back(a.oid + "=" + v);
        } else if (a.oid == oid) {
            for (const std::string& v : a.values)
                items.push_back(v);
        }
    }
    if (items.empty())
        return kTokenNoField;
    out = joined(items);
    return kTokenOk;
}

long certExtensions(const std::string& der, long flags, std::string& out) {
    if (flags != 0 && flags != 1)
        return kTokenBadArgument;
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    std::vector<std::string> items;
    for (unsigned i = 0; i < 256; ++i) {
        char oid[256];
        size_t size = sizeof oid;
        unsigned critical = 0;
        if (gnutls_x509_crt_get_extension_info(crt.get(), i, oid, &size, &critical) < 0)
            break;
        std::string item(oid, strnlen(oid, size));
        if (flags == 0) {
            gnutls_datum_t data{};
            if (gnutls_x509_crt_get_extension_data2(crt.get(), i, &data) < 0)
                return kTokenBadCertificate;
            item += std::string(",") + (critical ? "1" : "0") + "," + base64Encode(datumText(data));
            gnutls_free(data.data);
        }
        items.push_back(item);
    }
    if (items.empty())
        return kTokenNoField;
    out = joined(items);
    return kTokenOk;
}

long certSignatureAlgorithm(const std::string& der, long flags, std::string& out) {
    CrtPtr crt = parse(der);
    if (!crt)
        return kTokenBadCertificate;
    if (flags == 1) {
        char oid[128];
        size_t size = sizeof oid;
        if (gnutls_x509_crt_get_signature_oid(crt.get(), oid, &size) < 0)
            return kTokenNoField;
        out.assign(oid, strnlen(oid, size));
        return kTokenOk;
    }
    if (flags != 0)
        return kTokenBadArgument;
    int algorithm = gnutls_x509_crt_get_signature_algorithm(crt.get());
    const char* name = algorithm > 0
                           ? gnutls_sign_get_name(static_cast<gnutls_sign_algorithm_t>(algorithm))
                           : nullptr;
    if (!name)
        return kTokenNoField;
    out = name;
    return kTokenOk;
}
