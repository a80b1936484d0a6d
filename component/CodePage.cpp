// Code page conversions through iconv, strict both ways: a character that
// does not exist in the target, or a byte sequence that is not valid in the
// source, fails the conversion rather than being replaced.

#include "component/CodePage.h"

#include "common/runtime/Tool.h"
#include "component/Token.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct NamedPage {
    long number;
    const char* name;
};

// Windows code page numbers pages are used to, with their iconv names.
const NamedPage kPages[] = {
    {65001, "UTF-8"},    {950, "CP950"},        {936, "CP936"},        {932, "CP932"},
    {949, "CP949"},      {1200, "UTF-16LE"},    {1201, "UTF-16BE"},    {1250, "CP1250"},
    {1251, "CP1251"},    {1252, "CP1252"},      {1253, "CP1253"},      {1254, "CP1254"},
    {1255, "CP1255"},    {1256, "CP1256"},      {1257, "CP1257"},      {1258, "CP1258"},
    {874, "CP874"},      {437, "CP437"},        {850, "CP850"},        {866, "CP866"},
    {20127, "ASCII"},    {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"}, {28605, "ISO-8859-15"},
    {51932, "EUC-JP"},   {51949, "EUC-KR"},     {54936, "GB18030"},    {10000, "MACINTOSH"},
    {12000, "UTF-32LE"}, {20866, "KOI8-R"},     {52936, "HZ"},         {50220, "ISO-2022-JP"},
};

bool allDigits(const std::string& text) {
    if (text.empty() || text.size() > 6)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool iconvKnows(const std::string& name) {
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    iconv_close(cd);
    return true;
}

long convert(const std::string& in, const std::string& from, const std::string& to,
             std::string& out) {
    out.clear();
    if (from == to) {
        out = in;
        return kTokenOk;
    }
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return kTokenBadCodePage;
    std::string buffer(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = buffer.data();
    size_t dstLeft = buffer.size();
    long rc = kTokenOk;
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            if (errno == E2BIG) {
                size_t used = static_cast<size_t>(dst - buffer.data());
                buffer.resize(buffer.size() * 2);
                dst = buffer.data() + used;
                dstLeft = buffer.size() - used;
                continue;
            }
            rc = kTokenBadCodePage; // EILSEQ or EINVAL: not valid, or not representable
            break;
        }
    }
    if (rc == kTokenOk && iconv(cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
        rc = kTokenBadCodePage;
    iconv_close(cd);
    if (rc == kTokenOk)
        out.assign(buffer.data(), static_cast<size_t>(dst - buffer.data()));
    secureWipe(buffer.data(), buffer.size());
    return rc;
}

} // namespace

bool codePageKnown(long codePage) {
    for (const NamedPage& page : kPages)
        if (page.number == codePage)
            return true;
    return false;
}

bool codePageName(const std::string& codePage, long defaultCodePage, std::string& outName) {
    std::string text = codePage;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    size_t first = text.find_first_not_of(" \t");
    text = first == std::string::npos ? std::string() : text.substr(first);
    if (text.empty())
        text = std::to_string(defaultCodePage);
    if (allDigits(text)) {
        long number = strtol(text.c_str(), nullptr, 10);
        for (const NamedPage& page : kPages) {
            if (page.number == number) {
                outName = page.name;
                return true;
            }
        }
        return false;
    }
    std::string upper;
    for (char c : text)
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (upper == "UTF8")
        upper = "UTF-8";
    // Big5 of the pages is Windows' code page 950 (Big5 with its extensions).
    if (upper == "BIG5")
        upper = "CP950";
    for (char c : upper)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ||
              c == ':'))
            return false;
    if (!iconvKnows(upper))
        return false;
    outName = upper;
    return true;
}

long codePageFromUtf8(const std::string& utf8, const std::string& codePage, long defaultCodePage,
                      std::string& outBytes) {
    std::string name;
    if (!codePageName(codePage, defaultCodePage, name))
        return kTokenBadCodePage;
    if (name == "UTF-8")
        return codePageToUtf8(utf8, "65001", defaultCodePage, outBytes);
    return convert(utf8, "UTF-8", name, outBytes);
}

long codePageToUtf8(const std::string& bytes, const std::string& codePage, long defaultCodePage,
                    std::string& outUtf8) {
    std::string name;
    if (!codePageName(codePage, defaultCodePage, name))
        return kTokenBadCodePage;
    if (name == "UTF-8") {
        std::string check;
        long rc = convert(bytes, "UTF-8", "UTF-16LE", check);
        secureWipe(check.data(), check.size());
        if (rc != kTokenOk)
            return rc;
        outUtf8 = bytes;
        return kTokenOk;
    }
    return convert(bytes, name, "UTF-8", outUtf8);
}

std::string base64Encode(const std::string& bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = p[i] << 16;
        if (i + 1 < bytes.size())
            v |= p[i + 1] << 8;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64Decode(const std::string& text, std::string& outBytes) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    unsigned buffer = 0;
    int bits = 0;
    size_t padding = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+' || c == '-')
            v = 62;
        else if (c == '/' || c == '_')
            v = 63;
        else if (c == '=') {
            padding++;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        else
            return false;
        if (padding)
            return false; // data after padding
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    if (bits >= 6 || padding > 2)
        return false; // a lone final character
    outBytes = std::move(out);
    return true;
}
