#pragma once
// Code pages of the component's texts. Pages pass UTF-16 texts (BSTR); the
// bytes that are encoded, signed or encrypted are those of the text in a code
// page the page names: "UTF-8"/"65001" (the default), "950"/"Big5", any
// Windows code page number (936, 932, 949, 1252, 1200 for UTF-16LE, ...) or any
// iconv name. Conversions never replace a character silently: a text the code
// page cannot hold, or bytes that are not valid in it, fail.

#include <string>

// The iconv name of a code page given as text (empty text: the default code
// page defaultCodePage, a Windows number). False when unknown.
[[nodiscard]] bool codePageName(const std::string& codePage, long defaultCodePage,
                                std::string& outName);

// UTF-8 text -> bytes in the code page. kTokenOk or kTokenBadCodePage.
[[nodiscard]] long codePageFromUtf8(const std::string& utf8, const std::string& codePage,
                                    long defaultCodePage, std::string& outBytes);

// Bytes in the code page -> UTF-8 text. kTokenOk or kTokenBadCodePage.
[[nodiscard]] long codePageToUtf8(const std::string& bytes, const std::string& codePage,
                                  long defaultCodePage, std::string& outUtf8);

// True when the Windows code page number is one the component knows how to
// name (SetCodePage refuses others).
[[nodiscard]] bool codePageKnown(long codePage);

// Base64 (RFC 4648, no line breaks). Decoding skips white space and accepts
// missing padding; false on any other character.
std::string base64Encode(const std::string& bytes);
[[nodiscard]] bool base64Decode(const std::string& text, std::string& outBytes);
