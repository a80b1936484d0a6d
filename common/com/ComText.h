#pragma once
// Text crossing to the component: UTF-8 <-> UTF-16 BSTR conversions (code page
// UTF-8; malformed input becomes U+FFFD as the platform converters do) and
// the wipe-and-free for BSTRs that held a PIN or data.

#include "common/com/Com.h"

#include <cstddef>

// A new BSTR of the UTF-8 text. A null text gives S_OK with *outBstr null (the
// component's empty text). E_OUTOFMEMORY (and null) when memory fails,
// E_POINTER when outBstr is null.
[[nodiscard]] HRESULT bstrFromUtf8(const char* text, BSTR* outBstr) noexcept;
// The same for length bytes that need not be terminated.
[[nodiscard]] HRESULT bstrFromUtf8Length(const char* text, size_t length, BSTR* outBstr) noexcept;

// A new UTF-8 text (malloc, caller frees) of the whole BSTR, over its length;
// a null BSTR gives an empty text. E_OUTOFMEMORY (and null) when memory fails.
[[nodiscard]] HRESULT utf8FromBstr(BSTR bstr, char** outText) noexcept;
// The same for length UTF-16 units of text (null text with length 0 is fine).
[[nodiscard]] HRESULT utf8FromWide(const char16_t* text, size_t length, char** outText) noexcept;

// Overwrites the whole text of *bstr with zero bytes, frees it and nulls the
// pointer. Null pointer or null BSTR ignored; safe to call twice.
void secureFreeBstr(BSTR* bstr) noexcept;
