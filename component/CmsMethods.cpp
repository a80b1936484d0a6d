// The component's CMS and XML methods (declared in ComponentMethods.h): the
// token side (login, key choice, the multi-part signing session) and the
// file side (allowed folders) around Cms.h and XmlSign.h. Every function runs
// with the token lock held by the component object.

#include "component/CmsMethods.h"

#include "component/Cms.h"
#include "component/CodePage.h"
#include "component/ComponentMethods.h"
#include "component/FileAccess.h"
#include "component/XmlSign.h"

#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"

#include <p11-kit/pkcs11.h>

#include <ctime>
#include <map>
#include <memory>

// Shared with the COM object (declared in ComponentMethods.h).
void wipe(std::string& s) {
    secureWipe(s.data(), s.size());
    s.clear();
}

long dataBytes(const ComponentState& state, const std::string& text, const std::string& codePage,
               std::string& out) {
    std::string upper;
    for (char c : codePage)
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (upper == "BASE64")
        return base64Decode(text, out) ? kTokenOk : kTokenBadBase64;
    return codePageFromUtf8(text, codePage, state.codePage, out);
}

namespace {

constexpr long kKeyBits = kKeyUsageMask | kKeyKindMask;

// ---------------------------------------------------------------------------
// Multi-part signing sessions
// ---------------------------------------------------------------------------

// One per component object between an Init and its Final. The login itself
// is the object's (ComponentState::loginTicket); the session is valid only
// while that very login lasts, so an address reused by a new object never
// inherits an old session.
struct SignSession {
    uint64_t ticket = 0;
    std::string modulePath; // the token of the Init: a session never moves
    long slotIndex = 0;     // to another token chosen meanwhile
    long keyFlags = 0;      // key choice of the Init
    std::string parts;      // data of GPKI_SignDataUpdate calls with "more parts"
    time_t lastUse = 0;
};

// Guarded by the token lock, like everything here.
struct CmsMethodsGlobal {
    std::map<const ComponentState*, SignSession> sessions;
};
CmsMethodsGlobal gl;

// Sessions idle this long are dropped when another one starts; a page that
// never calls Final must not pin its parts in memory for ever.
constexpr time_t kSessionIdleSeconds = 3600;

void dropSessionLocked(std::map<const ComponentState*, SignSession>::iterator it) {
    secureWipe(it->second.parts.data(), it->second.parts.size());
    gl.sessions.erase(it);
}

SignSession* sessionLocked(const ComponentState& state) {
    auto it = gl.sessions.find(&state);
    if (it == gl.sessions.end())
        return nullptr;
    if (it->second.ticket != state.loginTicket || it->second.slotIndex != state.slotIndex ||
        it->second.modulePath != state.modulePath) {
        dropSessionLocked(it);
        return nullptr;
    }
    it->second.lastUse = time(nullptr);
    return &it->second;
}

// Ends the object's login but keeps its cached certificate (GetCachedCert).
void endLoginLocked(ComponentState& state) {
    std::string cached = state.cachedCert;
    componentStateRelease(state);
    state.cachedCert = cached;
    secureWipe(cached.data(), cached.size());
}

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

struct KeyHolder {
    TokenKey key;
    ~KeyHolder() { tokenKeyFree(key); }
};

struct CrtFree {
    void operator()(gnutls_x509_crt_t c) const { gnutls_x509_crt_deinit(c); }
};
using CrtPtr = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CrtFree>;

// A CMS text from a page: Base64 of the DER, or PEM of any label.
bool cmsDerOfText(const std::string& text, std::string& outDer) {
    size_t begin = text.find("-----BEGIN");
    if (begin == std::string::npos)
        return base64Decode(text, outDer) && !outDer.empty();
    size_t bodyStart = text.find('\n', begin);
    size_t end = text.find("-----END", begin);
    if (bodyStart == std::string::npos || end == std::string::npos || end < bodyStart)
        return false;
    return base64Decode(text.substr(bodyStart, end - bodyStart), outDer) && !outDer.empty();
}

CrtPtr certificateOfDer(const std::string& der) {
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) < 0)
        return nullptr;
    CrtPtr owner(crt);
    gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                     static_cast<unsigned>(der.size())};
    if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) < 0)
        return nullptr;
    return owner;
}

long signBytes(ComponentState& state, long keyFlags, const std::string& pin,
               const std::string& bytes, long cmsFlags, long hashFlag, std::string& out) {
    gnutls_digest_algorithm_t digest;
    if (!cmsDigestFromFlag(hashFlag, digest))
        return kCmsXmlBadHashFlag;
    KeyHolder key;
    long rc = tokenOpenKey(state, keyFlags, kKeyUsageSign, pin, key.key);
    if (rc != kTokenOk)
        return rc;
    std::string der;
    rc = cmsSign(key.key.key, key.key.crt, bytes, cmsFlags, hashFlag, der);
    if (rc == kCmsXmlOk)
        out = base64Encode(der);
    wipe(der); // an attached SignedData carries the page's data
    return rc;
}

struct TokenSession {
    CK_FUNCTION_LIST* module = nullptr;
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    ~TokenSession() {
        if (module && handle != CK_INVALID_HANDLE)
            module->C_CloseSession(handle);
    }
};

// A session of our own on the selected token; it shares the token's login.
long openTokenSession(ComponentState& state, TokenSession& out, CK_SLOT_ID* outSlot = nullptr) {
    void* list = nullptr;
    unsigned long slot = 0;
    long rc = tokenSelectedSlot(state, list, slot);
    if (rc != kTokenOk)
        return rc;
    out.module = static_cast<CK_FUNCTION_LIST*>(list);
    if (outSlot)
        *outSlot = slot;
    if (out.module->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &out.handle) !=
        CKR_OK) {
        out.handle = CK_INVALID_HANDLE;
        return kTokenDeviceError;
    }
    return kTokenOk;
}

// ECDH on the token with the EC private key whose CKA_ID is keyId: the
// shared secret (x-coordinate) with the peer's uncompressed point. The key
// itself stays on the token; the secret is a session object destroyed at once.
long tokenEcdh(ComponentState& state, const std::string& keyId, const std::string& peerPoint,
               std::string& outSecret) {
    TokenSession session;
    long rc = openTokenSession(state, session);
    if (rc != kTokenOk)
        return rc;
    CK_FUNCTION_LIST* m = session.module;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_EC;
    std::string id = keyId;
    CK_ATTRIBUTE query[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_ID, id.data(), id.size()},
    };
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_ULONG found = 0;
    if (m->C_FindObjectsInit(session.handle, query, 3) != CKR_OK)
        return kTokenDeviceError;
    CK_RV rv = m->C_FindObjects(session.handle, &key, 1, &found);
    m->C_FindObjectsFinal(session.handle);
    if (rv != CKR_OK)
        return kTokenDeviceError;
    if (found == 0)
        return kTokenNoKey;

    std::string point = peerPoint;
    CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, 0, nullptr, point.size(),
                                  reinterpret_cast<unsigned char*>(point.data())};
    CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof params};
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    CK_KEY_TYPE secretType = CKK_GENERIC_SECRET;
    CK_BBOOL no = CK_FALSE;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG secretLength = point.size() > 1 ? (point.size() - 1) / 2 : 0;
    CK_ATTRIBUTE secretTemplate[] = {
        {CKA_CLASS, &secretClass, sizeof secretClass},
        {CKA_KEY_TYPE, &secretType, sizeof secretType},
        {CKA_TOKEN, &no, sizeof no},
        {CKA_SENSITIVE, &no, sizeof no},
        {CKA_EXTRACTABLE, &yes, sizeof yes},
        {CKA_VALUE_LEN, &secretLength, sizeof secretLength},
    };
    CK_OBJECT_HANDLE secret = CK_INVALID_HANDLE;
    rv = m->C_DeriveKey(session.handle, &mechanism, key, secretTemplate, 6, &secret);
    if (rv != CKR_OK) {
        logWarningNumber("ECDH on the token failed: ", static_cast<long>(rv));
        return rv == CKR_USER_NOT_LOGGED_IN ? static_cast<long>(kTokenPinRequired)
                                            : static_cast<long>(kCmsXmlDecryptFailed);
    }
    std::string value(secretLength, '\0');
    CK_ATTRIBUTE valueAttribute{CKA_VALUE, value.data(), value.size()};
    rv = m->C_GetAttributeValue(session.handle, secret, &valueAttribute, 1);
    m->C_DestroyObject(session.handle, secret);
    if (rv != CKR_OK || valueAttribute.ulValueLen != secretLength) {
        secureWipe(value.data(), value.size());
        return kCmsXmlDecryptFailed;
    }
    outSecret.swap(value);
    return kTokenOk;
}

// Opens the EnvelopedData with the token key it is addressed to, among the
// keys keyUsage allows (0: the encryption keys).
long decryptOnToken(ComponentState& state, const std::string& pin, const std::string& cipherText,
                    long keyUsage, std::string& outClear) {
    if ((keyUsage & ~kKeyBits) != 0)
        return kCmsXmlBadFlags;
    std::string der;
    if (!cmsDerOfText(cipherText, der))
        return kCmsXmlBadBase64;
    long wanted = keyUsage;
    if ((wanted & kKeyUsageMask) == 0)
        wanted |= kKeyUsageEncrypt;
    std::vector<TokenCertificate> certs;
    long rc = tokenListCertificates(state, wanted, certs);
    if (rc != kTokenOk)
        return rc;
    long best = kCmsXmlNotRecipient;
    for (const TokenCertificate& c : certs) {
        CrtPtr crt = certificateOfDer(c.der);
        if (!crt)
            continue;
        long match = cmsRecipient(der, crt.get());
        if (match == kCmsXmlBadCms)
            return match;
        if (match == kCmsXmlUnsupportedKey) {
            // Key agreement: only an EC key meant for it derives on the token.
            if (c.kind != kKeyKindEc || !(c.usage & kKeyUsageEncrypt)) {
                best = match;
                continue;
            }
            rc = tokenEnsureLogin(state, pin);
            if (rc != kTokenOk)
                return rc;
            const std::string keyId = c.id;
            CmsEcdhFunction ecdh = [&state, &keyId](const std::string& point, std::string& secret) {
                return tokenEcdh(state, keyId, point, secret);
            };
            return cmsDecryptAgreement(crt.get(), der, ecdh, outClear);
        }
        if (match != kCmsXmlOk)
            continue;
        KeyHolder key;
        rc = tokenOpenKeyForCertificate(state, c.der, pin, key.key);
        if (rc != kTokenOk)
            return rc;
        return cmsDecrypt(key.key.key, key.key.crt, der, outClear);
    }
    return best;
}

} // namespace

// ===========================================================================
// SignedData
// ===========================================================================

long componentSignData(ComponentState& state, const std::string& pin, const std::string& data,
                       const std::string& codePage, long flags, long hashFlag, std::string& out) {
    if ((flags & ~(kKeyBits | kCmsFlagDetached)) != 0)
        return kCmsXmlBadFlags;
    gnutls_digest_algorithm_t digest;
    if (!cmsDigestFromFlag(hashFlag, digest))
        return kCmsXmlBadHashFlag;
    std::string bytes;
    long rc = dataBytes(state, data, codePage, bytes);
    if (rc == kTokenOk)
        rc =
            signBytes(state, flags & kKeyBits, pin, bytes, flags & kCmsFlagDetached, hashFlag, out);
    wipe(bytes);
    return rc;
}

long componentSignDataUpdate(ComponentState& state, const std::string& data,
                             const std::string& codePage, long flags, long hashFlag,
                             std::string& out) {
    if ((flags & ~(kKeyBits | kCmsFlagDetached | kCmsFlagMoreParts)) != 0)
        return kCmsXmlBadFlags;
    gnutls_digest_algorithm_t digest;
    if (!cmsDigestFromFlag(hashFlag, digest))
        return kCmsXmlBadHashFlag;
    SignSession* session = sessionLocked(state);
    if (session == nullptr)
        return kCmsXmlNoSession;
    std::string bytes;
    long rc = dataBytes(state, data, codePage, bytes);
    if (rc != kTokenOk)
        return rc;
    if (session->parts.size() + bytes.size() > kCmsMaxDataLength) {
        wipe(bytes);
        wipe(session->parts);
        return kCmsXmlTooLarge;
    }
    session->parts += bytes;
    wipe(bytes);
    if (flags & kCmsFlagMoreParts) {
        // Nothing to answer yet: the signature comes with the last part.
        out.clear();
        return kTokenOk;
    }
    long keyFlags = (flags & kKeyBits) ? (flags & kKeyBits) : session->keyFlags;
    rc = signBytes(state, keyFlags, std::string(), session->parts, flags & kCmsFlagDetached,
                   hashFlag, out);
    // The parts belong to this signature whether it succeeded or not; a page
    // retrying starts again from its first part.
    wipe(session->parts);
    return rc;
}

long componentSignStep(ComponentState& state, SignStep step, const std::string& pin, long flags,
                       long& outNumber) {
    outNumber = 0;
    if ((flags & ~kKeyBits) != 0)
        return kCmsXmlBadFlags;
    if (step == kSignDataFinal || step == kSignFinal) {
        auto it = gl.sessions.find(&state);
        if (it != gl.sessions.end())
            dropSessionLocked(it);
        endLoginLocked(state);
        return kTokenOk;
    }

    // A fresh Init replaces whatever session the object had.
    auto old = gl.sessions.find(&state);
    if (old != gl.sessions.end())
        dropSessionLocked(old);
    time_t now = time(nullptr);
    for (auto it = gl.sessions.begin(); it != gl.sessions.end();) {
        auto next = std::next(it);
        if (now - it->second.lastUse > kSessionIdleSeconds)
            dropSessionLocked(it);
        it = next;
    }

    // SignInitLogin always makes a new login with the PIN it is given; the
    // other two accept a login the object still holds when no PIN comes.
    long rc = step == kSignInitLogin ? tokenLogin(state, pin) : tokenEnsureLogin(state, pin);
    if (rc != kTokenOk)
        return rc;
    // The key must be there now, not only at the first Update.
    KeyHolder key;
    rc = tokenOpenKey(state, flags, kKeyUsageSign, std::string(), key.key);
    if (rc != kTokenOk)
        return rc;
    SignSession session;
    session.ticket = state.loginTicket;
    session.modulePath = state.modulePath;
    session.slotIndex = state.slotIndex;
    session.keyFlags = flags;
    session.lastUse = now;
    gl.sessions[&state] = std::move(session);
    return kTokenOk;
}

long componentSignatureAlgorithm(ComponentState&, const std::string& cms, long flags, long index,
                                 std::string& out) {
    return cmsSignatureAlgorithm(cms, flags, index, out);
}

// ===========================================================================
// EnvelopedData
// ===========================================================================

long componentEncryptByCert(ComponentState& state, const std::string& cert, const std::string& data,
                            long flags, std::string& out) {
    if ((flags & ~(kCmsFlagCipherMask | kCmsFlagBinary)) != 0)
        return kCmsXmlBadFlags;
    std::string der;
    long rc = tokenCertificateFromText(state, cert, der);
    if (rc != kTokenOk)
        return rc;
    CrtPtr crt = certificateOfDer(der);
    if (!crt)
        return kTokenBadCertificate;
    std::string bytes;
    if (flags & kCmsFlagBinary)
        rc = base64Decode(data, bytes) ? kTokenOk : kTokenBadBase64;
    else
        rc = codePageFromUtf8(data, std::string(), state.codePage, bytes);
    std::string envelope;
    if (rc == kTokenOk)
        rc = cmsEncrypt(crt.get(), bytes, flags & kCmsFlagCipherMask, envelope);
    if (rc == kCmsXmlOk)
        out = base64Encode(envelope);
    wipe(bytes);
    return rc;
}

long componentDecrypt(ComponentState& state, const std::string& pin, const std::string& cipher,
                      long flags, long keyUsage, std::string& out) {
    if ((flags & ~kCmsFlagBinary) != 0)
        return kCmsXmlBadFlags;
    std::string clear;
    long rc = decryptOnToken(state, pin, cipher, keyUsage, clear);
    if (rc == kCmsXmlOk) {
        if (flags & kCmsFlagBinary) {
            out = base64Encode(clear);
        } else {
            // Text in the object's code page, as GPKI_EncryptByCert made it.
            rc = codePageToUtf8(clear, std::string(), state.codePage, out);
            if (rc != kTokenOk)
                rc = kCmsXmlNotText;
        }
    }
    wipe(clear);
    return rc;
}

long componentDecrypt2File(ComponentState& state, const std::string& cipher,
                           const std::string& path, long flags, long keyUsage) {
    if (flags != 0)
        return kCmsXmlBadFlags;
    // The path is judged before the token is touched.
    std::string resolved;
    long rc = fileAccessResolve(path, true, resolved);
    if (rc != kTokenOk)
        return rc;
    std::string clear;
    rc = decryptOnToken(state, std::string(), cipher, keyUsage, clear);
    if (rc == kCmsXmlOk)
        rc = fileAccessWrite(path, clear);
    wipe(clear);
    return rc;
}

// ===========================================================================
// XML signatures
// ===========================================================================

long componentXml(ComponentState& state, XmlMethod method, const std::string& pin,
                  const std::string& first, const std::string& second, const std::string& id,
                  long flags, std::string& out) {
    if ((flags & ~kKeyBits) != 0)
        return kCmsXmlBadFlags;
    if (id.empty())
        return kCmsXmlBadArgument;

    bool fromFile = false;
    bool toFile = false;
    bool usesSession = false;
    bool needsKey = true;
    XmlSignMode mode = kXmlSignFull;
    switch (method) {
    case kXmlSignTemplate:
        break;
    case kXmlSignTemplateFile:
        fromFile = true;
        break;
    case kXmlCalcTemplateDigest:
        mode = kXmlSignDigestsOnly;
        needsKey = false;
        break;
    case kXmlCalcTemplateFileDigest:
        mode = kXmlSignDigestsOnly;
        needsKey = false;
        fromFile = true;
        break;
    case kXmlSignTemplateDigest:
        mode = kXmlSignGivenDigests;
        break;
    case kXmlSignTemplateFileUpdate:
        fromFile = true;
        usesSession = true;
        break;
    case kXmlSignTemplateDigestUpdate:
        mode = kXmlSignGivenDigests;
        usesSession = true;
        break;
    case kXmlSignTemplateUpdate:
        usesSession = true;
        break;
    case kXmlSignTemplateFile2File:
        fromFile = true;
        toFile = true;
        break;
    case kXmlSignTemplateDigest2File:
        mode = kXmlSignGivenDigests;
        toFile = true;
        break;
    default:
        return kTokenNotSupported;
    }

    // Paths are judged before the token is touched, so a refused file costs
    // no PIN try and leaves nothing behind.
    std::string resolved;
    long rc = kTokenOk;
    if (toFile) {
        rc = fileAccessResolve(second, true, resolved);
        if (rc != kTokenOk)
            return rc;
    }
    XmlSignRequest request;
    if (fromFile) {
        rc = fileAccessRead(first, kFileAccessMaxRead, request.document);
        if (rc != kTokenOk)
            return rc;
        request.documentIsUtf8 = false;
    } else {
        request.document = first;
    }
    // A file written keeps the encoding of the file read.
    request.keepEncoding = fromFile && toFile;
    request.signId = id;
    request.mode = mode;
    if (!state.xmlReferenceDirs.empty())
        request.resolver = xmlFolderResolver(state.xmlReferenceDirs);

    KeyHolder key;
    if (needsKey) {
        long keyFlags = flags & kKeyBits;
        if (usesSession) {
            SignSession* session = sessionLocked(state);
            if (session == nullptr)
                return kCmsXmlNoSession;
            if (keyFlags == 0)
                keyFlags = session->keyFlags;
            rc = tokenOpenKey(state, keyFlags, kKeyUsageSign, std::string(), key.key);
        } else {
            rc = tokenOpenKey(state, keyFlags, kKeyUsageSign, pin, key.key);
        }
        if (rc != kTokenOk)
            return rc;
    }

    std::string result;
    rc = xmlSign(key.key.key, key.key.crt, request, result);
    if (rc != kCmsXmlOk)
        return rc;
    if (toFile)
        return fileAccessWrite(second, result);
    out.swap(result);
    return kTokenOk;
}

// ===========================================================================
// Attribute certificates
// ===========================================================================

namespace {

// Caps: a card holds a handful of small objects.
constexpr CK_ULONG kMaxAttributeCertObjects = 64;
constexpr CK_ULONG kMaxAttributeCertLength = 1024 * 1024;

std::string trimmedField(const unsigned char* field, size_t size) {
    std::string s(reinterpret_cast<const char*>(field), size);
    size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

} // namespace

long componentGetAttributeCert(ComponentState& state, const std::string& reader,
                               const std::string& pin, long flags, std::string& out) {
    if (flags != 0)
        return kTokenBadArgument;
    // The reader is judged before a PIN is tried on anything.
    void* list = nullptr;
    unsigned long slot = 0;
    long rc = tokenSelectedSlot(state, list, slot);
    if (rc != kTokenOk)
        return rc;
    auto* p11 = static_cast<CK_FUNCTION_LIST*>(list);
    size_t first = reader.find_first_not_of(" \t");
    if (first != std::string::npos) {
        std::string name = reader.substr(first, reader.find_last_not_of(" \t") - first + 1);
        CK_TOKEN_INFO tokenInfo{};
        CK_SLOT_INFO slotInfo{};
        if (p11->C_GetTokenInfo(slot, &tokenInfo) != CKR_OK ||
            p11->C_GetSlotInfo(slot, &slotInfo) != CKR_OK)
            return kTokenDeviceError;
        if (name != trimmedField(tokenInfo.label, sizeof tokenInfo.label) &&
            name != trimmedField(slotInfo.slotDescription, sizeof slotInfo.slotDescription))
            return kTokenNoToken;
    }
    // Login first: the session below shares it and sees private objects too.
    if (!pin.empty()) {
        rc = tokenLogin(state, pin);
        if (rc != kTokenOk)
            return rc;
    }
    TokenSession session;
    rc = openTokenSession(state, session);
    if (rc != kTokenOk)
        return rc;
    CK_FUNCTION_LIST* module = session.module;

    // The standard object type, and the data objects that cards (and tools
    // that cannot write that type) use instead, marked with the attribute
    // type attributeCertificate (2.5.4.58) as their CKA_OBJECT_ID. Writers
    // differ on that value: DER of the OID, or (pkcs11-tool) its content
    // octets alone; both are taken.
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certType = CKC_X_509_ATTR_CERT;
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    static const std::string oidDer("\x06\x03\x55\x04\x3A", 5);
    CK_ATTRIBUTE certQuery[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
    };
    CK_ATTRIBUTE dataQuery[] = {{CKA_CLASS, &dataClass, sizeof dataClass}};
    struct Search {
        CK_ATTRIBUTE* query;
        CK_ULONG count;
        bool checkOid;
    };
    std::string answer;
    for (const Search& search : {Search{certQuery, 2, false}, Search{dataQuery, 1, true}}) {
        if (module->C_FindObjectsInit(session.handle, search.query, search.count) != CKR_OK)
            return kTokenDeviceError;
        CK_OBJECT_HANDLE objects[kMaxAttributeCertObjects];
        CK_ULONG count = 0;
        CK_RV rv = module->C_FindObjects(session.handle, objects, kMaxAttributeCertObjects, &count);
        module->C_FindObjectsFinal(session.handle);
        if (rv != CKR_OK)
            return kTokenDeviceError;
        for (CK_ULONG i = 0; i < count; ++i) {
            if (search.checkOid) {
                unsigned char oid[16];
                CK_ATTRIBUTE oidValue{CKA_OBJECT_ID, oid, sizeof oid};
                if (module->C_GetAttributeValue(session.handle, objects[i], &oidValue, 1) !=
                        CKR_OK ||
                    oidValue.ulValueLen > sizeof oid)
                    continue;
                std::string got(reinterpret_cast<char*>(oid), oidValue.ulValueLen);
                if (got != oidDer && got != oidDer.substr(2))
                    continue;
            }
            CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
            if (module->C_GetAttributeValue(session.handle, objects[i], &value, 1) != CKR_OK ||
                value.ulValueLen == CK_UNAVAILABLE_INFORMATION || value.ulValueLen == 0)
                continue;
            if (value.ulValueLen > kMaxAttributeCertLength)
                return kTokenTooLarge;
            std::string der(value.ulValueLen, '\0');
            value.pValue = der.data();
            if (module->C_GetAttributeValue(session.handle, objects[i], &value, 1) != CKR_OK)
                continue;
            der.resize(value.ulValueLen);
            answer += base64Encode(der) + ";";
        }
    }
    if (answer.empty())
        return kTokenNoCertificate;
    out.swap(answer);
    return kTokenOk;
}
