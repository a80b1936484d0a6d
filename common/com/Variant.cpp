// VARIANT and SAFEARRAY: the subset of OLE Automation values the component
// hands back (lists of certificates, flags, numbers).

#include "common/com/Com.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ===========================================================================
// SAFEARRAY
// ===========================================================================

// The array record is preceded by 16 bytes whose last 4 hold the element type.
static const size_t kArrayPrefix = 16;
// Hard cap on the data of one array (the component's lists are small).
static const size_t kMaxArrayBytes = 256u * 1024u * 1024u;

static size_t elementSize(VARTYPE vt) {
    switch (vt) {
    case VT_VARIANT:
        return sizeof(VARIANT);
    case VT_BSTR:
        return sizeof(BSTR);
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return sizeof(void*);
    case VT_I4:
    case VT_INT:
    case VT_UI4:
    case VT_UINT:
    case VT_ERROR:
        return 4;
    case VT_I2:
    case VT_BOOL:
        return 2;
    case VT_UI1:
        return 1;
    default:
        return 0;
    }
}

static uint16_t featuresOf(VARTYPE vt) {
    switch (vt) {
    case VT_VARIANT:
        return FADF_HAVEVARTYPE | FADF_VARIANT;
    case VT_BSTR:
        return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN:
        return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH:
        return FADF_HAVEVARTYPE | FADF_DISPATCH;
    default:
        return FADF_HAVEVARTYPE;
    }
}

static uint32_t* arrayTypeField(SAFEARRAY* psa) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(psa) - sizeof(uint32_t));
}

static VARTYPE arrayType(SAFEARRAY* psa) {
    return (VARTYPE)*arrayTypeField(psa);
}

static size_t elementCount(const SAFEARRAY* psa) {
    size_t n = 1;
    for (unsigned d = 0; d < psa->cDims; d++)
        n *= psa->rgsabound[d].cElements;
    return n;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) noexcept {
    size_t size = elementSize(vt);
    if (size == 0 || cDims == 0 || cDims > 64 || rgsabound == nullptr)
        return nullptr;
    size_t count = 1;
    for (UINT d = 0; d < cDims; d++) {
        size_t n = rgsabound[d].cElements;
        if (n != 0 && count > kMaxArrayBytes / size / n)
            return nullptr;
        count *= n;
    }
    size_t headerBytes =
        kArrayPrefix + sizeof(SAFEARRAY) + (size_t)(cDims - 1) * sizeof(SAFEARRAYBOUND);
    char* block = static_cast<char*>(calloc(1, headerBytes));
    if (block == nullptr)
        return nullptr;
    SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(block + kArrayPrefix);
    *arrayTypeField(psa) = vt;
    psa->cDims = (uint16_t)cDims;
    psa->fFeatures = featuresOf(vt);
    psa->cbElements = (ULONG)size;
    psa->cLocks = 0;
    for (UINT d = 0; d < cDims; d++)
        psa->rgsabound[d] = rgsabound[d];
    // calloc gives VT_EMPTY variants and null BSTRs and interfaces.
    psa->pvData = calloc(count == 0 ? 1 : count, size);
    if (psa->pvData == nullptr) {
        free(block);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept {
    SAFEARRAYBOUND bound = {cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

static void releaseElement(VARTYPE vt, void* element) {
    switch (vt) {
    case VT_VARIANT:
        VariantClear(static_cast<VARIANT*>(element));
        break;
    case VT_BSTR: {
        BSTR* b = static_cast<BSTR*>(element);
        SysFreeString(*b);
        *b = nullptr;
        break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        IUnknown** u = static_cast<IUnknown**>(element);
        if (*u != nullptr)
            (*u)->Release();
        *u = nullptr;
        break;
    }
    default:
        break;
    }
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept {
    if (psa == nullptr)
        return S_OK;
    if (psa->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    VARTYPE vt = arrayType(psa);
    size_t count = elementCount(psa);
    char* data = static_cast<char*>(psa->pvData);
    if (data != nullptr)
        for (size_t i = 0; i < count; i++)
            releaseElement(vt, data + i * psa->cbElements);
    free(psa->pvData);
    free(reinterpret_cast<char*>(psa) - kArrayPrefix);
    return S_OK;
}

// Address of the element at the indices, or null outside the bounds.
static void* elementAt(SAFEARRAY* psa, const LONG* rgIndices) {
    size_t offset = 0;
    for (unsigned d = 0; d < psa->cDims; d++) {
        const SAFEARRAYBOUND& b = psa->rgsabound[d];
        int64_t i = (int64_t)rgIndices[d] - b.lLbound;
        if (i < 0 || i >= (int64_t)b.cElements)
            return nullptr;
        offset = offset * b.cElements + (size_t)i;
    }
    return static_cast<char*>(psa->pvData) + offset * psa->cbElements;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, const void* pv) noexcept {
    if (psa == nullptr || rgIndices == nullptr)
        return E_INVALIDARG;
    void* element = elementAt(psa, rgIndices);
    if (element == nullptr)
        return DISP_E_BADINDEX;
    VARTYPE vt = arrayType(psa);
    switch (vt) {
    case VT_VARIANT:
        if (pv == nullptr)
            return E_INVALIDARG;
        return VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(pv));
    case VT_BSTR: {
        BSTR source = const_cast<BSTR>(static_cast<const OLECHAR*>(pv));
        BSTR copy = nullptr;
        if (source != nullptr) {
            copy = SysAllocStringLen(source, SysStringLen(source));
            if (copy == nullptr)
                return E_OUTOFMEMORY;
        }
        releaseElement(vt, element);
        *static_cast<BSTR*>(element) = copy;
        return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        IUnknown* u = const_cast<IUnknown*>(static_cast<const IUnknown*>(pv));
        if (u != nullptr)
            u->AddRef();
        releaseElement(vt, element);
        *static_cast<IUnknown**>(element) = u;
        return S_OK;
    }
    default:
        if (pv == nullptr)
            return E_INVALIDARG;
        memcpy(element, pv, psa->cbElements);
        return S_OK;
    }
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) noexcept {
    if (psa == nullptr || rgIndices == nullptr || pv == nullptr)
        return E_INVALIDARG;
    void* element = elementAt(psa, rgIndices);
    if (element == nullptr)
        return DISP_E_BADINDEX;
    switch (arrayType(psa)) {
    case VT_VARIANT: {
        VARIANT* out = static_cast<VARIANT*>(pv);
        VariantInit(out);
        return VariantCopy(out, static_cast<VARIANT*>(element));
    }
    case VT_BSTR: {
        BSTR source = *static_cast<BSTR*>(element);
        BSTR copy = nullptr;
        if (source != nullptr) {
            copy = SysAllocStringLen(source, SysStringLen(source));
            if (copy == nullptr)
                return E_OUTOFMEMORY;
        }
        *static_cast<BSTR*>(pv) = copy;
        return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        IUnknown* u = *static_cast<IUnknown**>(element);
        if (u != nullptr)
            u->AddRef();
        *static_cast<IUnknown**>(pv) = u;
        return S_OK;
    }
    default:
        memcpy(pv, element, psa->cbElements);
        return S_OK;
    }
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept {
    if (psa == nullptr || plLbound == nullptr)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[nDim - 1].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept {
    if (psa == nullptr || plUbound == nullptr)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = psa->rgsabound[nDim - 1];
    // An empty dimension has an upper bound one below its lower bound.
    *plUbound = (LONG)((int64_t)b.lLbound + (int64_t)b.cElements - 1);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept {
    return psa == nullptr ? 0 : psa->cDims;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept {
    if (psa == nullptr || pvt == nullptr)
        return E_INVALIDARG;
    *pvt = arrayType(psa);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept {
    if (psa == nullptr)
        return E_INVALIDARG;
    psa->cLocks++;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept {
    if (psa == nullptr)
        return E_INVALIDARG;
    if (psa->cLocks == 0)
        return E_UNEXPECTED;
    psa->cLocks--;
    return S_OK;
}

// Deep copy of an array (same type, bounds and elements); null on failure.
static SAFEARRAY* copyArray(SAFEARRAY* source, HRESULT* outResult) {
    SAFEARRAY* copy = SafeArrayCreate(arrayType(source), source->cDims, source->rgsabound);
    if (copy == nullptr) {
        *outResult = E_OUTOFMEMORY;
        return nullptr;
    }
    VARTYPE vt = arrayType(source);
    size_t count = elementCount(source);
    char* from = static_cast<char*>(source->pvData);
    char* to = static_cast<char*>(copy->pvData);
    for (size_t i = 0; i < count; i++) {
        void* s = from + i * source->cbElements;
        void* d = to + i * source->cbElements;
        HRESULT hr = S_OK;
        switch (vt) {
        case VT_VARIANT:
            hr = VariantCopy(static_cast<VARIANT*>(d), static_cast<VARIANT*>(s));
            break;
        case VT_BSTR: {
            BSTR b = *static_cast<BSTR*>(s);
            if (b != nullptr) {
                *static_cast<BSTR*>(d) = SysAllocStringLen(b, SysStringLen(b));
                if (*static_cast<BSTR*>(d) == nullptr)
                    hr = E_OUTOFMEMORY;
            }
            break;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* u = *static_cast<IUnknown**>(s);
            if (u != nullptr)
                u->AddRef();
            *static_cast<IUnknown**>(d) = u;
            break;
        }
        default:
            memcpy(d, s, source->cbElements);
            break;
        }
        if (FAILED(hr)) {
            SafeArrayDestroy(copy);
            *outResult = hr;
            return nullptr;
        }
    }
    *outResult = S_OK;
    return copy;
}

// ===========================================================================
// VARIANT
// ===========================================================================

void VariantInit(VARIANT* pvarg) noexcept {
    if (pvarg == nullptr)
        return;
    memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

static bool isKnownScalar(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
    case VT_UI1:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return true;
    default:
        return false;
    }
}

HRESULT VariantClear(VARIANT* pvarg) noexcept {
    if (pvarg == nullptr)
        return E_INVALIDARG;
    VARTYPE vt = pvarg->vt;
    if (vt & VT_BYREF) {
        // A reference owns nothing.
    } else if (vt & VT_ARRAY) {
        HRESULT hr = SafeArrayDestroy(pvarg->parray);
        if (FAILED(hr))
            return hr;
    } else if (!isKnownScalar(vt)) {
        return DISP_E_BADVARTYPE;
    } else if (vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (pvarg->punkVal != nullptr)
            pvarg->punkVal->Release();
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) noexcept {
    if (pvargDest == nullptr || pvargSrc == nullptr)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    VARIANT copy = *pvargSrc;
    VARTYPE vt = pvargSrc->vt;
    if (vt & VT_BYREF) {
        // The reference itself is copied.
    } else if (vt & VT_ARRAY) {
        if (pvargSrc->parray != nullptr) {
            HRESULT hr = S_OK;
            copy.parray = copyArray(pvargSrc->parray, &hr);
            if (copy.parray == nullptr)
                return hr;
        }
    } else if (!isKnownScalar(vt)) {
        return DISP_E_BADVARTYPE;
    } else if (vt == VT_BSTR) {
        BSTR b = pvargSrc->bstrVal;
        if (b != nullptr) {
            copy.bstrVal = SysAllocStringLen(b, SysStringLen(b));
            if (copy.bstrVal == nullptr)
                return E_OUTOFMEMORY;
        }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (copy.punkVal != nullptr)
            copy.punkVal->AddRef();
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}

// Integer value of a scalar variant; false when it has none.
static bool integerOf(const VARIANT* v, int64_t* out) {
    switch (v->vt) {
    case VT_EMPTY:
        *out = 0;
        return true;
    case VT_I2:
        *out = v->iVal;
        return true;
    case VT_I4:
        *out = v->lVal;
        return true;
    case VT_INT:
        *out = v->intVal;
        return true;
    case VT_UI1:
        *out = v->bVal;
        return true;
    case VT_UI4:
        *out = v->ulVal;
        return true;
    case VT_UINT:
        *out = v->uintVal;
        return true;
    case VT_BOOL:
        *out = v->boolVal != VARIANT_FALSE ? -1 : 0;
        return true;
    default:
        return false;
    }
}

static BSTR bstrFromAscii(const char* text) {
    size_t n = strlen(text);
    BSTR b = SysAllocStringLen(nullptr, (UINT)n);
    if (b != nullptr)
        for (size_t i = 0; i < n; i++)
            b[i] = (OLECHAR)(unsigned char)text[i];
    return b;
}

// Decimal text of a BSTR (ASCII blanks around it allowed) as a 32-bit value.
static HRESULT longFromBstr(BSTR b, LONG* out) {
    char digits[32];
    UINT n = SysStringLen(b);
    UINT start = 0;
    while (start < n && (b[start] == u' ' || b[start] == u'\t'))
        start++;
    while (n > start && (b[n - 1] == u' ' || b[n - 1] == u'\t'))
        n--;
    if (n == start || n - start >= sizeof digits)
        return n - start >= sizeof digits ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
    for (UINT i = start; i < n; i++) {
        OLECHAR c = b[i];
        bool sign = (i == start && (c == u'-' || c == u'+'));
        if (!sign && (c < u'0' || c > u'9'))
            return DISP_E_TYPEMISMATCH;
        digits[i - start] = (char)c;
    }
    digits[n - start] = 0;
    if ((digits[0] == '-' || digits[0] == '+') && digits[1] == 0)
        return DISP_E_TYPEMISMATCH;
    errno = 0;
    long long value = strtoll(digits, nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return DISP_E_OVERFLOW;
    *out = (LONG)value;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, WORD wFlags,
                          VARTYPE vt) noexcept {
    if (pvargDest == nullptr || pvarSrc == nullptr)
        return E_INVALIDARG;
    if ((pvarSrc->vt & (VT_BYREF | VT_ARRAY)) != 0)
        return DISP_E_TYPEMISMATCH;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = S_OK;
    int64_t number = 0;
    if (vt == pvarSrc->vt) {
        hr = VariantCopy(&result, pvarSrc);
    } else if (vt == VT_BSTR) {
        char text[32];
        if (pvarSrc->vt == VT_BOOL && (wFlags & VARIANT_ALPHABOOL) != 0)
            snprintf(text, sizeof text, "%s", pvarSrc->boolVal ? "True" : "False");
        else if (pvarSrc->vt == VT_EMPTY)
            text[0] = 0;
        else if (integerOf(pvarSrc, &number))
            snprintf(text, sizeof text, "%lld", (long long)number);
        else
            hr = DISP_E_TYPEMISMATCH;
        if (SUCCEEDED(hr)) {
            result.vt = VT_BSTR;
            result.bstrVal = bstrFromAscii(text);
            if (result.bstrVal == nullptr) {
                result.vt = VT_EMPTY;
                hr = E_OUTOFMEMORY;
            }
        }
    } else if (vt == VT_I4 || vt == VT_INT) {
        LONG value = 0;
        if (pvarSrc->vt == VT_BSTR) {
            hr = longFromBstr(pvarSrc->bstrVal, &value);
        } else if (integerOf(pvarSrc, &number)) {
            if (number < INT32_MIN || number > INT32_MAX)
                hr = DISP_E_OVERFLOW;
            else
                value = (LONG)number;
        } else {
            hr = DISP_E_TYPEMISMATCH;
        }
        if (SUCCEEDED(hr)) {
            result.vt = vt;
            result.lVal = value;
        }
    } else {
        hr = DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr))
        return hr;
    // dest may be the source itself: the source is only released now.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}
