#pragma once
// White-box key utility of the service program: turns the table and seed that
// the build stores beside the encrypted TLS private keys into the hexadecimal
// text of their AES-256 key. Both functions are exported by name from the
// service program (C linkage), so they keep plain C types.

#include <cstdint>

// Largest table side accepted; the stored table is 9 x 9.
constexpr int32_t kWhiteBoxMaxSize = 64;

extern "C" {

// table: size row pointers, each row holding size 16-bit values; seed: a
// 32-bit constant. Returns a new heap text of 64 upper-case hexadecimal digits
// (32 key bytes), the same for the same table and seed; null for a null table
// or row, a size outside 1..kWhiteBoxMaxSize, or memory failure. The caller
// ends the text's life with QXWhiteBoxResultFinal and then frees it.
char* getQXWhiteboxResult(int16_t** table, int32_t size, int32_t seed);

// Overwrites the text *inputPointer points to, over its whole length up to the
// terminator, with random bytes from the system (zeros when the random source
// fails) and sets *inputPointer to null. Does not free the memory: the caller
// keeps its own copy of the pointer for that. A null inputPointer or a null
// *inputPointer prints "[Warning] Parameter ... is null at ..." to standard
// output and changes nothing.
void QXWhiteBoxResultFinal(char** inputPointer);

} // extern "C"
