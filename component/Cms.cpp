// CMS SignedData through GnuTLS's PKCS#7 and EnvelopedData through OpenSSL's
// libcrypto (GnuTLS builds no EnvelopedData). For opening an EnvelopedData the
// token's key is presented to OpenSSL as an RSA key whose private operation is
// gnutls_privkey_decrypt_data: the key-transport decryption happens on the
// token, the content decryption in software.

// The RSA_METHOD hooks are the one way OpenSSL 3.0 lets a foreign key take
// part in CMS_decrypt without writing a provider.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "component/Cms.h"

#include "common/runtime/Tool.h"

#include <gnutls/gnutls.h>
#include <gnutls/pkcs7.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// ---------------------------------------------------------------------------
// Owners of the C handles
// ---------------------------------------------------------------------------

struct Pkcs7Free {
    void operator()(gnutls_pkcs7_t p) const { gnutls_pkcs7_deinit(p); }
};
using Pkcs7Ptr = std::unique_ptr<std::remove_pointer_t<gnutls_pkcs7_t>, Pkcs7Free>;

struct GnutlsFree {
    void operator()(unsigned char* p) const { gnutls_free(p); }
};

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

struct CmsFree {
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

struct X509StackFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string datumToString(const gnutls_datum_t& d) {
    return std::string(reinterpret_cast<const char*>(d.data), d.size);
}

gnutls_datum_t stringDatum(const std::string& s) {
    gnutls_datum_t d;
    d.data = reinterpret_cast<unsigned char*>(const_cast<char*>(s.data()));
    d.size = static_cast<unsigned>(s.size());
    return d;
}

// Errors queued by libcrypto belong to this call only.
void clearOpenSslErrors() {
    ERR_clear_error();
}

// ---------------------------------------------------------------------------
// The token's key as an OpenSSL RSA key
// ---------------------------------------------------------------------------

struct TokenRsaState {
    std::once_flag once;
    RSA_METHOD* method = nullptr;
};
TokenRsaState tokenRsa;

int tokenRsaPrivateDecrypt(int fromLength, const unsigned char* from, unsigned char* to, RSA* rsa,
                           int padding) {
    // Only PKCS#1 v1.5 key transport is done by the token; raw RSA (which
    // OAEP would need) is not offered by every token.
    if (padding != RSA_PKCS1_PADDING || fromLength < 0)
        return -1;
    auto key = static_cast<gnutls_privkey_t>(RSA_get_app_data(rsa));
    if (key == nullptr)
        return -1;
    gnutls_datum_t cipher{const_cast<unsigned char*>(from), static_cast<unsigned>(fromLength)};
    gnutls_datum_t plain{nullptr, 0};
    if (gnutls_privkey_decrypt_data(key, 0, &cipher, &plain) < 0)
        return -1;
    int result = -1;
    if (plain.size <= static_cast<unsigned>(RSA_size(rsa))) {
        memcpy(to, plain.data, plain.size);
        result = static_cast<int>(plain.size);
    }
    secureWipe(plain.data, plain.size);
    gnutls_free(plain.data);
    return result;
}

RSA_METHOD* tokenRsaMethod() {
    std::call_once(tokenRsa.once, [] {
        RSA_METHOD* m = RSA_meth_dup(RSA_get_default_method());
        if (m == nullptr)
            return;
        RSA_meth_set1_name(m, "token key transport");
        RSA_meth_set_priv_dec(m, tokenRsaPrivateDecrypt);
        // The token does not sign through OpenSSL.
        RSA_meth_set_priv_enc(m, nullptr);
        tokenRsa.method = m;
    });
    return tokenRsa.method;
}

// An EVP_PKEY carrying the certificate's public numbers whose private
// decryption goes to key. Null when the certificate is not RSA.
PkeyPtr tokenRsaKey(gnutls_privkey_t key, X509* cert) {
    RSA_METHOD* method = tokenRsaMethod();
    if (method == nullptr)
        return nullptr;
    EVP_PKEY* pub = X509_get0_pubkey(cert);
    if (pub == nullptr || EVP_PKEY_get_base_id(pub) != EVP_PKEY_RSA)
        return nullptr;
    const RSA* pubRsa = EVP_PKEY_get0_RSA(pub);
    if (pubRsa == nullptr)
        return nullptr;
    const BIGNUM* n = nullptr;
    const BIGNUM* e = nullptr;
    RSA_get0_key(pubRsa, &n, &e, nullptr);

    RSA* rsa = RSA_new();
    if (rsa == nullptr)
        return nullptr;
    BIGNUM* nCopy = BN_dup(n);
    BIGNUM* eCopy = BN_dup(e);
    if (nCopy == nullptr || eCopy == nullptr || RSA_set0_key(rsa, nCopy, eCopy, nullptr) != 1) {
        BN_free(nCopy);
        BN_free(eCopy);
        RSA_free(rsa);
        return nullptr;
    }
    RSA_set_method(rsa, method);
    RSA_set_app_data(rsa, key);
    PkeyPtr pkey(EVP_PKEY_new());
    if (!pkey || EVP_PKEY_assign_RSA(pkey.get(), rsa) != 1) {
        RSA_free(rsa);
        return nullptr;
    }
    return pkey;
}

// ---------------------------------------------------------------------------
// The token's key as an OpenSSL EC key (key agreement)
// ---------------------------------------------------------------------------

struct TokenEcState {
    std::once_flag once;
    EC_KEY_METHOD* method = nullptr;
    int dataIndex = -1;
};
TokenEcState tokenEc;

int tokenEcdhCompute(unsigned char** outSecret, size_t* outLength, const EC_POINT* peer,
                     const EC_KEY* ecKey) {
    auto* ecdh = static_cast<const CmsEcdhFunction*>(EC_KEY_get_ex_data(ecKey, tokenEc.dataIndex));
    const EC_GROUP* group = EC_KEY_get0_group(ecKey);
    if (ecdh == nullptr || group == nullptr)
        return 0;
    size_t n = EC_POINT_point2oct(group, peer, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
    if (n == 0)
        return 0;
    std::string point(n, '\0');
    if (EC_POINT_point2oct(group, peer, POINT_CONVERSION_UNCOMPRESSED,
                           reinterpret_cast<unsigned char*>(point.data()), n, nullptr) != n)
        return 0;
    std::string secret;
    int ok = 0;
    try {
        if ((*ecdh)(point, secret) == kCmsXmlOk && !secret.empty()) {
            auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(secret.size()));
            if (copy != nullptr) {
                memcpy(copy, secret.data(), secret.size());
                *outSecret = copy;
                *outLength = secret.size();
                ok = 1;
            }
        }
    } catch (...) {
        // OpenSSL is C: nothing may cross it.
        ok = 0;
    }
    secureWipe(secret.data(), secret.size());
    return ok;
}

bool tokenEcInit() {
    std::call_once(tokenEc.once, [] {
        tokenEc.dataIndex = EC_KEY_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        EC_KEY_METHOD* m = EC_KEY_METHOD_new(EC_KEY_get_default_method());
        if (m == nullptr || tokenEc.dataIndex < 0)
            return;
        EC_KEY_METHOD_set_compute_key(m, tokenEcdhCompute);
        tokenEc.method = m;
    });
    return tokenEc.method != nullptr;
}

// An EVP_PKEY carrying the certificate's EC public key whose ECDH goes to
// ecdh. Null when the certificate is not EC.
PkeyPtr tokenEcKey(const CmsEcdhFunction& ecdh, X509* cert) {
    if (!tokenEcInit())
        return nullptr;
    EVP_PKEY* pub = X509_get0_pubkey(cert);
    if (pub == nullptr || EVP_PKEY_get_base_id(pub) != EVP_PKEY_EC)
        return nullptr;
    const EC_KEY* pubEc = EVP_PKEY_get0_EC_KEY(pub);
    if (pubEc == nullptr)
        return nullptr;
    EC_KEY* ec = EC_KEY_dup(pubEc);
    if (ec == nullptr)
        return nullptr;
    if (EC_KEY_set_method(ec, tokenEc.method) != 1 ||
        EC_KEY_set_ex_data(ec, tokenEc.dataIndex, const_cast<CmsEcdhFunction*>(&ecdh)) != 1) {
        EC_KEY_free(ec);
        return nullptr;
    }
    PkeyPtr pkey(EVP_PKEY_new());
    if (!pkey || EVP_PKEY_assign_EC_KEY(pkey.get(), ec) != 1) {
        EC_KEY_free(ec);
        return nullptr;
    }
    return pkey;
}

X509Ptr opensslCertificate(gnutls_x509_crt_t cert) {
    gnutls_datum_t der{nullptr, 0};
    if (gnutls_x509_crt_export2(cert, GNUTLS_X509_FMT_DER, &der) < 0)
        return nullptr;
    const unsigned char* p = der.data;
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size)));
    gnutls_free(der.data);
    return x;
}

// Finds cert's RecipientInfo, so that "not for us" and "for us but an
// agreement key the token cannot use" are told apart from a bad cipher.
long recipientMatch(CMS_ContentInfo* cms, X509* x509) {
    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
    bool agreement = false;
    for (int i = 0; infos != nullptr && i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(infos, i);
        int type = CMS_RecipientInfo_type(ri);
        if (type == CMS_RECIPINFO_TRANS && CMS_RecipientInfo_ktri_cert_cmp(ri, x509) == 0)
            return kCmsXmlOk;
        if (type == CMS_RECIPINFO_AGREE) {
            STACK_OF(CMS_RecipientEncryptedKey)* reks = CMS_RecipientInfo_kari_get0_reks(ri);
            for (int j = 0; reks != nullptr && j < sk_CMS_RecipientEncryptedKey_num(reks); ++j)
                if (CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(reks, j),
                                                       x509) == 0)
                    agreement = true;
        }
    }
    return agreement ? kCmsXmlUnsupportedKey : kCmsXmlNotRecipient;
}

CmsPtr envelopedFromDer(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (cms && OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_enveloped)
        cms.reset();
    clearOpenSslErrors();
    return cms;
}

// Unwraps the content-encryption key with pkey (whose private part is on the
// token) and decrypts the content in software.
long decryptWithKey(CMS_ContentInfo* cms, EVP_PKEY* pkey, X509* x509, std::string& outContent) {
    if (CMS_decrypt_set1_pkey(cms, pkey, x509) != 1) {
        clearOpenSslErrors();
        return kCmsXmlDecryptFailed;
    }
    // A secure-heap buffer: its growth and its release clear what it held.
    BioPtr out(BIO_new(BIO_s_secmem()));
    if (!out)
        return kCmsXmlDecryptFailed;
    long result = kCmsXmlOk;
    if (CMS_decrypt(cms, nullptr, nullptr, nullptr, out.get(), CMS_BINARY) != 1) {
        result = kCmsXmlDecryptFailed;
    } else {
        char* data = nullptr;
        long n = BIO_get_mem_data(out.get(), &data);
        outContent.assign(data, static_cast<size_t>(n));
    }
    clearOpenSslErrors();
    return result;
}

// The EnvelopedData of the DER and the certificate as OpenSSL objects.
long openEnveloped(const std::string& der, gnutls_x509_crt_t cert, CmsPtr& outCms,
                   X509Ptr& outX509) {
    outCms = envelopedFromDer(der);
    if (!outCms)
        return kCmsXmlBadCms;
    outX509 = opensslCertificate(cert);
    if (!outX509)
        return kCmsXmlBadCertificate;
    return kCmsXmlOk;
}

} // namespace

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

bool cmsDigestFromFlag(long hashFlag, gnutls_digest_algorithm_t& outDigest) {
    switch (hashFlag) {
    case 0:
    case 2:
    case 256:
        outDigest = GNUTLS_DIG_SHA256;
        return true;
    case 1:
    case 160:
        outDigest = GNUTLS_DIG_SHA1;
        return true;
    case 3:
    case 384:
        outDigest = GNUTLS_DIG_SHA384;
        return true;
    case 4:
    case 512:
        outDigest = GNUTLS_DIG_SHA512;
        return true;
    default:
        return false;
    }
}

std::string cmsBase64Encode(const std::string& bytes) {
    if (bytes.empty())
        return std::string();
    gnutls_datum_t in = stringDatum(bytes);
    gnutls_datum_t out{nullptr, 0};
    if (gnutls_base64_encode2(&in, &out) < 0)
        return std::string();
    std::string s = datumToString(out);
    gnutls_free(out.data);
    return s;
}

bool cmsBase64Decode(const std::string& text, std::string& outBytes) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            compact.push_back(c);
    if (compact.empty()) {
        outBytes.clear();
        return true;
    }
    gnutls_datum_t in = stringDatum(compact);
    gnutls_datum_t out{nullptr, 0};
    if (gnutls_base64_decode2(&in, &out) < 0)
        return false;
    outBytes = datumToString(out);
    secureWipe(out.data, out.size);
    gnutls_free(out.data);
    return true;
}

gnutls_x509_crt_t cmsCertificateFromText(const std::string& text) {
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) < 0)
        return nullptr;
    int rc;
    if (text.find("-----BEGIN") != std::string::npos) {
        gnutls_datum_t pem = stringDatum(text);
        rc = gnutls_x509_crt_import(crt, &pem, GNUTLS_X509_FMT_PEM);
    } else {
        std::string der;
        rc = cmsBase64Decode(text, der) && !der.empty() ? 0 : -1;
        if (rc == 0) {
            gnutls_datum_t d = stringDatum(der);
            rc = gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER);
        }
    }
    if (rc < 0) {
        gnutls_x509_crt_deinit(crt);
        return nullptr;
    }
    return crt;
}

// ---------------------------------------------------------------------------
// SignedData
// ---------------------------------------------------------------------------

long cmsSign(gnutls_privkey_t key, gnutls_x509_crt_t cert, const std::string& content, long flags,
             long hashFlag, std::string& outDer) {
    if (key == nullptr || cert == nullptr)
        return kCmsXmlBadArgument;
    if ((flags & ~(kCmsFlagDetached | kCmsFlagMoreParts)) != 0)
        return kCmsXmlBadFlags;
    if (content.size() > kCmsMaxDataLength)
        return kCmsXmlTooLarge;
    gnutls_digest_algorithm_t digest;
    if (!cmsDigestFromFlag(hashFlag, digest))
        return kCmsXmlBadHashFlag;

    gnutls_pkcs7_t raw = nullptr;
    if (gnutls_pkcs7_init(&raw) < 0)
        return kCmsXmlSignFailed;
    Pkcs7Ptr pkcs7(raw);

    unsigned signFlags = GNUTLS_PKCS7_INCLUDE_CERT | GNUTLS_PKCS7_INCLUDE_TIME;
    if ((flags & kCmsFlagDetached) == 0)
        signFlags |= GNUTLS_PKCS7_EMBED_DATA;
    gnutls_datum_t data = stringDatum(content);
    if (gnutls_pkcs7_sign(pkcs7.get(), cert, key, &data, nullptr, nullptr, digest, signFlags) < 0)
        return kCmsXmlSignFailed;

    gnutls_datum_t der{nullptr, 0};
    if (gnutls_pkcs7_export2(pkcs7.get(), GNUTLS_X509_FMT_DER, &der) < 0)
        return kCmsXmlSignFailed;
    outDer = datumToString(der);
    // An attached SignedData carries the page's data.
    secureWipe(der.data, der.size);
    gnutls_free(der.data);
    return kCmsXmlOk;
}

long cmsSignatureAlgorithm(const std::string& cmsText, long flags, long index,
                           std::string& outName) {
    if (flags != 0 && flags != 1)
        return kCmsXmlBadFlags;
    if (index < 0)
        return kCmsXmlBadArgument;
    std::string der;
    int fmt = GNUTLS_X509_FMT_DER;
    if (cmsText.find("-----BEGIN") != std::string::npos) {
        der = cmsText;
        fmt = GNUTLS_X509_FMT_PEM;
    } else if (!cmsBase64Decode(cmsText, der) || der.empty()) {
        return kCmsXmlBadBase64;
    }
    gnutls_pkcs7_t raw = nullptr;
    if (gnutls_pkcs7_init(&raw) < 0)
        return kCmsXmlBadCms;
    Pkcs7Ptr pkcs7(raw);
    gnutls_datum_t d = stringDatum(der);
    if (gnutls_pkcs7_import(pkcs7.get(), &d, static_cast<gnutls_x509_crt_fmt_t>(fmt)) < 0)
        return kCmsXmlBadCms;
    gnutls_pkcs7_signature_info_st info;
    memset(&info, 0, sizeof info);
    if (gnutls_pkcs7_get_signature_info(pkcs7.get(), static_cast<unsigned>(index), &info) < 0)
        return kCmsXmlBadCms;
    const char* name =
        flags == 1 ? gnutls_sign_get_oid(info.algo) : gnutls_sign_get_name(info.algo);
    gnutls_pkcs7_signature_info_deinit(&info);
    if (name == nullptr)
        return kCmsXmlBadCms;
    outName = name;
    return kCmsXmlOk;
}

// ---------------------------------------------------------------------------
// EnvelopedData
// ---------------------------------------------------------------------------

long cmsEncrypt(gnutls_x509_crt_t recipient, const std::string& content, long flags,
                std::string& outDer) {
    if (recipient == nullptr)
        return kCmsXmlBadArgument;
    if ((flags & ~(kCmsFlagCipherMask | kCmsFlagBinary)) != 0)
        return kCmsXmlBadFlags;
    if (content.size() > kCmsMaxDataLength)
        return kCmsXmlTooLarge;
    const EVP_CIPHER* cipher = nullptr;
    switch (flags & kCmsFlagCipherMask) {
    case 0:
        cipher = EVP_aes_256_cbc();
        break;
    case 1:
        cipher = EVP_aes_128_cbc();
        break;
    case 2:
        cipher = EVP_aes_192_cbc();
        break;
    default:
        return kCmsXmlBadFlags;
    }
    clearOpenSslErrors();
    X509Ptr cert = opensslCertificate(recipient);
    if (!cert)
        return kCmsXmlBadCertificate;
    X509StackPtr certs(sk_X509_new_null());
    if (!certs || sk_X509_push(certs.get(), cert.get()) <= 0)
        return kCmsXmlEncryptFailed;
    cert.release();

    BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    if (!in)
        return kCmsXmlEncryptFailed;
    CmsPtr cms(CMS_encrypt(certs.get(), in.get(), cipher, CMS_BINARY));
    if (!cms) {
        clearOpenSslErrors();
        return kCmsXmlEncryptFailed;
    }
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || i2d_CMS_bio(out.get(), cms.get()) != 1) {
        clearOpenSslErrors();
        return kCmsXmlEncryptFailed;
    }
    char* p = nullptr;
    long n = BIO_get_mem_data(out.get(), &p);
    outDer.assign(p, static_cast<size_t>(n));
    return kCmsXmlOk;
}

long cmsDecrypt(gnutls_privkey_t key, gnutls_x509_crt_t cert, const std::string& der,
                std::string& outContent) {
    secureWipe(outContent.data(), outContent.size());
    outContent.clear();
    if (key == nullptr || cert == nullptr)
        return kCmsXmlBadArgument;
    if (der.size() > kCmsMaxDataLength + 64u * 1024u)
        return kCmsXmlTooLarge;
    clearOpenSslErrors();

    CmsPtr cms;
    X509Ptr x509;
    long opened = openEnveloped(der, cert, cms, x509);
    if (opened != kCmsXmlOk)
        return opened;
    long match = recipientMatch(cms.get(), x509.get());
    if (match != kCmsXmlOk) {
        clearOpenSslErrors();
        return match;
    }

    PkeyPtr pkey = tokenRsaKey(key, x509.get());
    if (!pkey) {
        clearOpenSslErrors();
        return kCmsXmlUnsupportedKey;
    }
    return decryptWithKey(cms.get(), pkey.get(), x509.get(), outContent);
}

long cmsDecryptAgreement(gnutls_x509_crt_t cert, const std::string& der,
                         const CmsEcdhFunction& ecdh, std::string& outContent) {
    secureWipe(outContent.data(), outContent.size());
    outContent.clear();
    if (cert == nullptr || !ecdh)
        return kCmsXmlBadArgument;
    if (der.size() > kCmsMaxDataLength + 64u * 1024u)
        return kCmsXmlTooLarge;
    clearOpenSslErrors();
    CmsPtr cms;
    X509Ptr x509;
    long opened = openEnveloped(der, cert, cms, x509);
    if (opened != kCmsXmlOk)
        return opened;
    // recipientMatch says "unsupported" exactly when an agreement
    // RecipientInfo names the certificate.
    long match = recipientMatch(cms.get(), x509.get());
    if (match != kCmsXmlUnsupportedKey) {
        clearOpenSslErrors();
        return match == kCmsXmlOk ? kCmsXmlBadArgument : match;
    }
    PkeyPtr pkey = tokenEcKey(ecdh, x509.get());
    if (!pkey) {
        clearOpenSslErrors();
        return kCmsXmlUnsupportedKey;
    }
    return decryptWithKey(cms.get(), pkey.get(), x509.get(), outContent);
}

long cmsRecipient(const std::string& der, gnutls_x509_crt_t cert) {
    if (cert == nullptr)
        return kCmsXmlBadArgument;
    CmsPtr cms;
    X509Ptr x509;
    long opened = openEnveloped(der, cert, cms, x509);
    if (opened != kCmsXmlOk)
        return opened;
    long rc = recipientMatch(cms.get(), x509.get());
    clearOpenSslErrors();
    return rc;
}

const char* cmsXmlResultText(long result) {
    switch (result) {
    case kCmsXmlOk:
        return "success";
    case kCmsXmlBadArgument:
        return "bad argument";
    case kCmsXmlBadHashFlag:
        return "unknown hash flag";
    case kCmsXmlBadFlags:
        return "unknown or contradictory flags";
    case kCmsXmlBadBase64:
        return "bad Base64";
    case kCmsXmlBadCertificate:
        return "certificate cannot be decoded";
    case kCmsXmlBadCms:
        return "CMS message cannot be decoded or lacks the signer";
    case kCmsXmlSignFailed:
        return "signing failed";
    case kCmsXmlEncryptFailed:
        return "encryption failed";
    case kCmsXmlNotRecipient:
        return "message not addressed to a key of the token";
    case kCmsXmlDecryptFailed:
        return "decryption failed";
    case kCmsXmlUnsupportedKey:
        return "key type not supported";
    case kCmsXmlNotText:
        return "decrypted data is not text";
    case kCmsXmlTooLarge:
        return "input too large";
    case kCmsXmlNoSession:
        return "no signing session (Init first)";
    case kCmsXmlBadXml:
        return "XML text does not parse";
    case kCmsXmlNoSignature:
        return "no ds:Signature with the Id";
    case kCmsXmlBadTemplate:
        return "signature template incomplete";
    case kCmsXmlDigestFailed:
        return "reference cannot be digested";
    case kCmsXmlBadAlgorithm:
        return "signature method does not fit the key";
    case kCmsXmlNoDigest:
        return "template lacks a DigestValue";
    default:
        return "error";
    }
}
