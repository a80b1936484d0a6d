#pragma once
// The TLS credentials the service program carries. The definitions are written
// by the credentials generator into a source file of each build folder; the
// certificates are plain PEM text, the private keys only AES-256-CBC cipher
// text ("KestrovaAESCBC" framing) under the key that getQXWhiteboxResult
// derives from the white-box table and seed.

#include <cstddef>
#include <cstdint>

constexpr int kStoredWhiteBoxSize = 9;
constexpr size_t kStoredKeyVectorLength = 16;

// PEM texts, each beginning with a line feed, one "CERTIFICATE" block.
extern const char kStoredCertificateEC[];
extern const char kStoredCertificateRSA[];

// Cipher texts of the PEM private keys and their lengths (multiples of 16).
extern const unsigned char kStoredKeyEC[];
extern const size_t kStoredKeyECLength;
extern const unsigned char kStoredKeyRSA[];
extern const size_t kStoredKeyRSALength;

// Initialisation vector shared by both cipher texts.
extern const unsigned char kStoredKeyVector[kStoredKeyVectorLength];

// Input of the white-box key utility.
extern const int16_t kStoredWhiteBoxTable[kStoredWhiteBoxSize][kStoredWhiteBoxSize];
extern const int32_t kStoredWhiteBoxSeed;
