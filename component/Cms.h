#pragma once
// CMS for the GPKI component: SignedData over a page's text, EnvelopedData
// towards a certificate and its opening with a key that never leaves the token.
// The functions here work on any gnutls_privkey_t (a token key or a software
// key alike); the component's methods (CmsMethods.h) add login and state.

#include <gnutls/abstract.h>
#include <gnutls/x509.h>

#include <cstddef>
#include <functional>
#include <string>

// Outcomes of the CMS and XML functions. The component hands them on as its
// lastError; 0 is success.
enum CmsXmlResult : long {
    kCmsXmlOk = 0,
    kCmsXmlBadArgument = 62001,    // a missing or malformed parameter
    kCmsXmlBadHashFlag = 62003,    // unknown digest selector
    kCmsXmlBadFlags = 62004,       // unknown or contradictory flag bits
    kCmsXmlBadBase64 = 62005,      // a Base64 parameter does not decode
    kCmsXmlBadCertificate = 62006, // a certificate does not parse
    kCmsXmlBadCms = 62007,         // a CMS text does not parse or has no such signer
    kCmsXmlSignFailed = 62008,     // the token refused or failed to sign
    kCmsXmlEncryptFailed = 62009,  // the EnvelopedData could not be built
    kCmsXmlNotRecipient = 62010,   // the message is not addressed to our key
    kCmsXmlDecryptFailed = 62011,  // key transport or content decryption failed
    kCmsXmlUnsupportedKey = 62012, // key kind the operation cannot use
    kCmsXmlNotText = 62013,        // decrypted bytes are not UTF-8 text
    kCmsXmlTooLarge = 62014,       // input beyond its cap
    kCmsXmlNoSession = 62015,      // an Update or Final without an Init
    kCmsXmlBadXml = 62020,         // the XML text does not parse
    kCmsXmlNoSignature = 62021,    // no ds:Signature with the asked Id
    kCmsXmlBadTemplate = 62022,    // the template lacks a required element
    kCmsXmlDigestFailed = 62023,   // a reference could not be digested
    kCmsXmlBadAlgorithm = 62024,   // signature method does not fit the key
    kCmsXmlNoDigest = 62025,       // a template to sign as is lacks a DigestValue
};

// Flag bits of the signing methods' "iFlags"/"lFlags" (the low bits choose
// the token key, Token.h).
constexpr long kCmsFlagDetached = 0x100;  // content left out of the SignedData
constexpr long kCmsFlagMoreParts = 0x200; // GPKI_SignDataUpdate: more parts follow

// Flag bits of the encryption methods' "iFlags".
constexpr long kCmsFlagCipherMask = 0xF; // 0 AES-256-CBC, 1 AES-128-CBC, 2 AES-192-CBC
constexpr long kCmsFlagBinary = 0x10;    // the data (or the clear result) is Base64 of bytes

// Caps on what a call may feed in.
constexpr size_t kCmsMaxDataLength = 64u * 1024u * 1024u;

// Digest selected by "iHashFlag": 0 or 2 SHA-256, 1 SHA-1 (legacy), 3 SHA-384,
// 4 SHA-512; the bit sizes 160, 256, 384 and 512 select the same. False for
// anything else, outDigest unchanged.
[[nodiscard]] bool cmsDigestFromFlag(long hashFlag, gnutls_digest_algorithm_t& outDigest);

// Base64 without line breaks; decoding skips white space (PEM bodies, wrapped
// lines). False when the text does not decode.
std::string cmsBase64Encode(const std::string& bytes);
[[nodiscard]] bool cmsBase64Decode(const std::string& text, std::string& outBytes);

// Reads a certificate given as PEM or as Base64 of its DER. Null on failure.
gnutls_x509_crt_t cmsCertificateFromText(const std::string& text);

// SignedData (DER) over content, signed with key, digest from hashFlag,
// content embedded unless flags has kCmsFlagDetached, the certificate always
// included with content-type, message-digest and signing-time attributes.
[[nodiscard]] long cmsSign(gnutls_privkey_t key, gnutls_x509_crt_t cert, const std::string& content,
                           long flags, long hashFlag, std::string& outDer);

// Name (flags 0, e.g. "RSA-SHA256") or dotted OID (flags 1) of the signature
// algorithm of signer number index of a SignedData given as Base64 or PEM.
[[nodiscard]] long cmsSignatureAlgorithm(const std::string& cmsText, long flags, long index,
                                         std::string& outName);

// EnvelopedData (DER) of content for the certificate's key (RSA key
// transport, or ECDH key agreement for an EC certificate); the cipher from
// flags & kCmsFlagCipherMask.
[[nodiscard]] long cmsEncrypt(gnutls_x509_crt_t recipient, const std::string& content, long flags,
                              std::string& outDer);

// Opens an EnvelopedData (DER) addressed to cert by key transport: the
// content-encryption key is unwrapped by key (on the token: RSA PKCS#1 v1.5
// decryption), the content is decrypted in software. outContent is wiped and
// left empty on failure; kCmsXmlUnsupportedKey when the message reaches cert
// only by key agreement (cmsDecryptAgreement).
[[nodiscard]] long cmsDecrypt(gnutls_privkey_t key, gnutls_x509_crt_t cert, const std::string& der,
                              std::string& outContent);

// kCmsXmlOk when the EnvelopedData (DER) has a key-transport RecipientInfo
// for cert; kCmsXmlUnsupportedKey when it reaches cert only by key agreement;
// kCmsXmlNotRecipient or kCmsXmlBadCms otherwise. Needs no key.
[[nodiscard]] long cmsRecipient(const std::string& der, gnutls_x509_crt_t cert);

// Short English text of an outcome of this range; never null.
const char* cmsXmlResultText(long result);

// Computes the ECDH shared secret (the x-coordinate, the field size long) of
// the recipient's EC key with the originator's public point (uncompressed
// octets). kCmsXmlOk, or an error code that cmsDecryptAgreement hands on.
using CmsEcdhFunction = std::function<long(const std::string& peerPoint, std::string& outSecret)>;

// Opens an EnvelopedData (DER) that reaches cert by ECDH key agreement: the
// shared secret comes from ecdh (on the token), key derivation, key unwrap
// and content decryption run in software. outContent is wiped and left empty
// on failure; kCmsXmlNotRecipient when no agreement RecipientInfo names cert.
[[nodiscard]] long cmsDecryptAgreement(gnutls_x509_crt_t cert, const std::string& der,
                                       const CmsEcdhFunction& ecdh, std::string& outContent);
