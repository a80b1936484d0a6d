#pragma once
// In-place text edits shared by the JSON map and the codecs. Kept out of the
// public headers: they work on buffers the caller owns and are only safe for
// replacements that never make the text longer.

#include <cstddef>

// Replaces, left to right and without overlaps, every occurrence of from in
// text by to, in place; the same result as replaceAll over the whole text.
// Requires strlen(to) <= strlen(from) and a non-empty from (anything else
// leaves text unchanged). No allocation, so request data is never copied.
void replaceShrinkingInPlace(char* text, const char* from, const char* to) noexcept;

// ASCII-only case-insensitive equality (locale-independent).
bool equalsIgnoreCase(const char* a, const char* b) noexcept;

// Copy of length bytes of text as a new zero-terminated heap text (malloc);
// null (with the allocation-failure lines) when memory fails.
char* copyBytes(const char* text, size_t length) noexcept;
