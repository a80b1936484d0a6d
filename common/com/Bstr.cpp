// BSTR: a UTF-16 text preceded by its byte length. The block starts 8 bytes
// before the text (length in the last 4 of them) so the text stays 8-aligned,
// and the text is always followed by a zero unit. Every block comes from the
// process's malloc, so a BSTR made by the component is freed by the adapter.

#include "common/com/Com.h"

#include <cstdlib>
#include <cstring>

static const size_t kHeader = 8;
// Longest text in units: the byte length must fit its 32-bit field.
static const size_t kMaxUnits = (0xFFFFFFF0u - kHeader) / sizeof(OLECHAR) - 1;

static uint32_t* lengthField(BSTR bstr) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(bstr) - sizeof(uint32_t));
}

BSTR SysAllocStringLen(const OLECHAR* psz, UINT length) noexcept {
    if (length > kMaxUnits)
        return nullptr;
    size_t bytes = (size_t)length * sizeof(OLECHAR);
    char* block = static_cast<char*>(malloc(kHeader + bytes + sizeof(OLECHAR)));
    if (block == nullptr)
        return nullptr;
    memset(block, 0, kHeader);
    BSTR text = reinterpret_cast<BSTR>(block + kHeader);
    *lengthField(text) = (uint32_t)bytes;
    if (psz != nullptr)
        memcpy(text, psz, bytes);
    else
        memset(text, 0, bytes);
    text[length] = 0;
    return text;
}

BSTR SysAllocString(const OLECHAR* psz) noexcept {
    if (psz == nullptr)
        return nullptr;
    size_t length = 0;
    while (psz[length] != 0)
        length++;
    if (length > kMaxUnits)
        return nullptr;
    return SysAllocStringLen(psz, (UINT)length);
}

UINT SysStringByteLen(BSTR bstr) noexcept {
    return bstr == nullptr ? 0 : *lengthField(bstr);
}

UINT SysStringLen(BSTR bstr) noexcept {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

void SysFreeString(BSTR bstr) noexcept {
    if (bstr == nullptr)
        return;
    free(reinterpret_cast<char*>(bstr) - kHeader);
}
