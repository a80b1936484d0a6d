// GUID helpers and the identifiers every library of the system agrees on.

#include "common/com/Com.h"
#include "common/com/GpkiComponent.h"

#include <cstdio>
#include <cstring>

const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

const CLSID CLSID_GpkiComponent = {
    0x4B91F9EF, 0xF244, 0x622E, {0xCE, 0x84, 0x96, 0x71, 0xA8, 0x5B, 0xDF, 0xE5}};
const IID IID_IGpkiComponent = {
    0xDBB2E4AE, 0x442A, 0x44C6, {0x95, 0xD9, 0x02, 0xDA, 0xB0, 0x38, 0xE4, 0x74}};

bool IsEqualGUID(REFGUID a, REFGUID b) noexcept {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

void guidToText(REFGUID guid, char* out, size_t outLength) noexcept {
    if (out == nullptr || outLength == 0)
        return;
    snprintf(out, outLength, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned)guid.Data1, (unsigned)guid.Data2, (unsigned)guid.Data3, guid.Data4[0],
             guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
}

static int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads count hex digits at text into value; false on a non-digit.
static bool readHex(const char* text, int count, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < count; i++) {
        int d = hexDigit(text[i]);
        if (d < 0)
            return false;
        v = (v << 4) | (uint32_t)d;
    }
    *value = v;
    return true;
}

bool guidFromText(const char* text, GUID* out) noexcept {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text == nullptr || out == nullptr || strlen(text) != 38 || text[0] != '{' ||
        text[37] != '}' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-')
        return false;
    GUID g;
    uint32_t v = 0;
    if (!readHex(text + 1, 8, &v))
        return false;
    g.Data1 = v;
    if (!readHex(text + 10, 4, &v))
        return false;
    g.Data2 = (uint16_t)v;
    if (!readHex(text + 15, 4, &v))
        return false;
    g.Data3 = (uint16_t)v;
    const int offsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; i++) {
        if (!readHex(text + offsets[i], 2, &v))
            return false;
        g.Data4[i] = (uint8_t)v;
    }
    *out = g;
    return true;
}
