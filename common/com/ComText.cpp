// UTF-8 <-> UTF-16 for texts that cross to the component. Both directions
// measure first and write once into the final block, so a PIN never lands in
// a temporary buffer that would need wiping too.

#include "common/com/ComText.h"
#include "common/runtime/Tool.h"

#include <cstdlib>
#include <cstring>

static const char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[*i] (length bytes in all) and advances *i.
// Malformed, overlong, surrogate or out-of-range sequences give U+FFFD and
// consume one byte (the maximal-subpart rule keeps it simple and safe).
static char32_t decodeUtf8(const unsigned char* text, size_t length, size_t* i) {
    unsigned char c = text[*i];
    if (c < 0x80) {
        (*i)++;
        return c;
    }
    int extra;
    char32_t cp;
    char32_t minimum;
    if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
        minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
        minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
        minimum = 0x10000;
    } else {
        (*i)++;
        return kReplacement;
    }
    for (int k = 1; k <= extra; k++) {
        if (*i + (size_t)k >= length || (text[*i + k] & 0xC0) != 0x80) {
            (*i)++;
            return kReplacement;
        }
        cp = (cp << 6) | (text[*i + k] & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        (*i)++;
        return kReplacement;
    }
    *i += (size_t)extra + 1;
    return cp;
}

HRESULT bstrFromUtf8Length(const char* text, size_t length, BSTR* outBstr) noexcept {
    if (outBstr == nullptr)
        return E_POINTER;
    *outBstr = nullptr;
    if (text == nullptr)
        return S_OK;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t units = 0;
    for (size_t i = 0; i < length;)
        units += decodeUtf8(bytes, length, &i) >= 0x10000 ? 2 : 1;
    if (units > 0x7FFFFFF0u / sizeof(OLECHAR))
        return E_OUTOFMEMORY;
    BSTR bstr = SysAllocStringLen(nullptr, (UINT)units);
    if (bstr == nullptr)
        return E_OUTOFMEMORY;
    size_t o = 0;
    for (size_t i = 0; i < length;) {
        char32_t cp = decodeUtf8(bytes, length, &i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            bstr[o++] = (OLECHAR)(0xD800 + (cp >> 10));
            bstr[o++] = (OLECHAR)(0xDC00 + (cp & 0x3FF));
        } else {
            bstr[o++] = (OLECHAR)cp;
        }
    }
    *outBstr = bstr;
    return S_OK;
}

HRESULT bstrFromUtf8(const char* text, BSTR* outBstr) noexcept {
    return bstrFromUtf8Length(text, text == nullptr ? 0 : strlen(text), outBstr);
}

// Next code point of UTF-16 text; unpaired surrogates give U+FFFD.
static char32_t decodeUtf16(const char16_t* text, size_t length, size_t* i) {
    char16_t u = text[(*i)++];
    if (u >= 0xD800 && u <= 0xDBFF) {
        if (*i < length && text[*i] >= 0xDC00 && text[*i] <= 0xDFFF) {
            char16_t low = text[(*i)++];
            return 0x10000 + (((char32_t)u - 0xD800) << 10) + ((char32_t)low - 0xDC00);
        }
        return kReplacement;
    }
    if (u >= 0xDC00 && u <= 0xDFFF)
        return kReplacement;
    return u;
}

static size_t utf8Length(char32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

HRESULT utf8FromWide(const char16_t* text, size_t length, char** outText) noexcept {
    if (outText == nullptr)
        return E_POINTER;
    *outText = nullptr;
    if (text == nullptr)
        length = 0;
    size_t bytes = 0;
    for (size_t i = 0; i < length;)
        bytes += utf8Length(decodeUtf16(text, length, &i));
    char* out = static_cast<char*>(malloc(bytes + 1));
    if (out == nullptr)
        return E_OUTOFMEMORY;
    size_t o = 0;
    for (size_t i = 0; i < length;) {
        char32_t cp = decodeUtf16(text, length, &i);
        switch (utf8Length(cp)) {
        case 1:
            out[o++] = (char)cp;
            break;
        case 2:
            out[o++] = (char)(0xC0 | (cp >> 6));
            out[o++] = (char)(0x80 | (cp & 0x3F));
            break;
        case 3:
            out[o++] = (char)(0xE0 | (cp >> 12));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
            break;
        default:
            out[o++] = (char)(0xF0 | (cp >> 18));
            out[o++] = (char)(0x80 | ((cp >> 12) & 0x3F));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
            break;
        }
    }
    out[o] = 0;
    *outText = out;
    return S_OK;
}

HRESULT utf8FromBstr(BSTR bstr, char** outText) noexcept {
    return utf8FromWide(bstr, SysStringLen(bstr), outText);
}

void secureFreeBstr(BSTR* bstr) noexcept {
    if (bstr == nullptr || *bstr == nullptr)
        return;
    secureWipe(*bstr, SysStringByteLen(*bstr));
    SysFreeString(*bstr);
    *bstr = nullptr;
}
