#pragma once
// TLS credentials of the service: the server certificate and its private key,
// carried inside the program. Two pairs exist, elliptic-curve (P-384) and RSA
// (4096 bits); the OS flags choose one, the same way for certificate and key.

#include <cstdint>

// True when the RSA pair is served for these OS flags: no identification (0)
// or the Windows XP bit. Every other system gets the EC pair.
bool serverPairIsRSA(uint32_t osFlags);

// New heap copy of the chosen certificate's PEM text (free it), or null with
// the allocation-failure lines.
char* getServerCertificate();
char* getServerCertificateFor(uint32_t osFlags);

// New heap text of the chosen PEM private key, decrypted in memory; null with
// the allocation-failure lines when the white-box key or the decryption fails.
// The caller overwrites it with QXWhiteBoxResultFinal and then frees it.
char* getServerPrivateKey();
char* getServerPrivateKeyFor(uint32_t osFlags);
