// Enveloped XML signatures. xmlsec1 digests the references and canonicalises
// SignedInfo exactly as a verifier will; only the signature value itself is
// made outside it, by the gnutls_privkey_t, so that a token key never needs to
// be an OpenSSL key.

#include "component/XmlSign.h"

#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlIO.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/io.h>
#include <xmlsec/nodeset.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// ---------------------------------------------------------------------------
// Process-wide xmlsec state
// ---------------------------------------------------------------------------

// xmlsec keeps its I/O callbacks and transform registry in globals, and the
// component may be called from several sessions' threads: one lock serialises
// every XML operation, and the resolver of the call in hand sits here.
struct XmlGlobal {
    std::mutex lock;
    bool initialised = false;
    bool initFailed = false;
    const XmlReferenceResolver* resolver = nullptr; // valid while lock is held
};
XmlGlobal gl;

void xmlsecErrorToLog(const char* file, int line, const char* func, const char* errorObject,
                      const char* errorSubject, int reason, const char* msg) {
    char text[512];
    snprintf(text, sizeof text, "%s: %s (%s, reason %d)", func ? func : "", msg ? msg : "",
             errorSubject ? errorSubject : "", reason);
    logWarning("xmlsec: ", text);
}

void silentXmlError(void*, const char*, ...) {}
void silentStructuredError(void*, xmlErrorPtr) {}

// ---- external references: our own I/O callbacks ----

struct RefFile {
    FILE* f;
};

int refMatch(const char* uri) {
    // Anything with a scheme (http:, ftp:, file:) is never ours to open.
    if (uri == nullptr || gl.resolver == nullptr || !*gl.resolver)
        return 0;
    return strchr(uri, ':') == nullptr ? 1 : 0;
}

void* refOpen(const char* uri) {
    if (gl.resolver == nullptr || !*gl.resolver)
        return nullptr;
    std::string path;
    if (!(*gl.resolver)(uri, path)) {
        logWarning("XML reference refused: ", uri);
        return nullptr;
    }
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return nullptr;
    return new (std::nothrow) RefFile{f};
}

int refRead(void* context, char* buffer, int len) {
    auto* rf = static_cast<RefFile*>(context);
    if (rf == nullptr || len < 0)
        return -1;
    size_t n = fread(buffer, 1, static_cast<size_t>(len), rf->f);
    if (n == 0 && ferror(rf->f))
        return -1;
    return static_cast<int>(n);
}

int refClose(void* context) {
    auto* rf = static_cast<RefFile*>(context);
    if (rf == nullptr)
        return -1;
    fclose(rf->f);
    delete rf;
    return 0;
}

bool initialiseLocked() {
    if (gl.initialised)
        return true;
    if (gl.initFailed)
        return false;
    gl.initFailed = true;
    xmlInitParser();
    if (xmlSecInit() < 0)
        return false;
    xmlSecErrorsSetCallback(xmlsecErrorToLog);
    if (xmlSecCheckVersion() != 1)
        return false;
    if (xmlSecCryptoAppInit(nullptr) < 0)
        return false;
    if (xmlSecCryptoInit() < 0)
        return false;
    // Drop the default file/http/ftp readers: external references go only
    // through the resolver of the call.
    xmlSecIOCleanupCallbacks();
    if (xmlSecIORegisterCallbacks(refMatch, refOpen, refRead, refClose) < 0)
        return false;
    gl.initialised = true;
    gl.initFailed = false;
    return true;
}

// ---------------------------------------------------------------------------
// Owners
// ---------------------------------------------------------------------------

struct DocFree {
    void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

struct DsigCtxFree {
    void operator()(xmlSecDSigCtxPtr c) const { xmlSecDSigCtxDestroy(c); }
};
using DsigCtxPtr = std::unique_ptr<xmlSecDSigCtx, DsigCtxFree>;

struct RefCtxFree {
    void operator()(xmlSecDSigReferenceCtxPtr c) const { xmlSecDSigReferenceCtxDestroy(c); }
};
using RefCtxPtr = std::unique_ptr<xmlSecDSigReferenceCtx, RefCtxFree>;

struct TransformCtxFree {
    void operator()(xmlSecTransformCtxPtr c) const { xmlSecTransformCtxDestroy(c); }
};
using TransformCtxPtr = std::unique_ptr<xmlSecTransformCtx, TransformCtxFree>;

struct NodeSetFree {
    void operator()(xmlSecNodeSetPtr n) const { xmlSecNodeSetDestroy(n); }
};
using NodeSetPtr = std::unique_ptr<xmlSecNodeSet, NodeSetFree>;

struct XmlCharFree {
    void operator()(xmlChar* p) const { xmlFree(p); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharFree>;

// ---------------------------------------------------------------------------
// Tree helpers
// ---------------------------------------------------------------------------

bool isDsig(xmlNodePtr n, const xmlChar* name) {
    return n != nullptr && n->type == XML_ELEMENT_NODE &&
           xmlSecCheckNodeName(n, name, xmlSecDSigNs);
}

xmlNodePtr firstElement(xmlNodePtr n) {
    while (n != nullptr && n->type != XML_ELEMENT_NODE)
        n = n->next;
    return n;
}

xmlNodePtr nextElement(xmlNodePtr n) {
    return n ? firstElement(n->next) : nullptr;
}

xmlNodePtr childDsig(xmlNodePtr parent, const xmlChar* name) {
    for (xmlNodePtr c = firstElement(parent->children); c != nullptr; c = nextElement(c))
        if (isDsig(c, name))
            return c;
    return nullptr;
}

// Declares every "Id", "ID" and "id" attribute an XML ID so that "#name"
// references resolve without a DTD, as verifiers told the same names do.
void registerIds(xmlDocPtr doc, xmlNodePtr node) {
    for (xmlNodePtr n = node; n != nullptr; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next) {
            if (a->ns != nullptr)
                continue;
            const char* name = reinterpret_cast<const char*>(a->name);
            if (strcmp(name, "Id") != 0 && strcmp(name, "ID") != 0 && strcmp(name, "id") != 0)
                continue;
            XmlCharPtr value(xmlNodeListGetString(doc, a->children, 1));
            if (value && xmlGetID(doc, value.get()) == nullptr)
                xmlAddID(nullptr, doc, value.get(), a);
        }
        registerIds(doc, n->children);
    }
}

xmlNodePtr findSignature(xmlNodePtr node, const std::string& id) {
    for (xmlNodePtr n = node; n != nullptr; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (isDsig(n, xmlSecNodeSignature)) {
            XmlCharPtr v(xmlGetProp(n, BAD_CAST "Id"));
            if (v && id == reinterpret_cast<const char*>(v.get()))
                return n;
        }
        if (xmlNodePtr found = findSignature(n->children, id))
            return found;
    }
    return nullptr;
}

// Adds (or finds) a ds: child, written with the prefix the document already
// uses for the namespace.
xmlNodePtr ensureDsigChild(xmlNodePtr parent, const xmlChar* name) {
    if (xmlNodePtr c = childDsig(parent, name))
        return c;
    return xmlSecAddChild(parent, name, xmlSecDSigNs);
}

// ---------------------------------------------------------------------------
// Signature methods
// ---------------------------------------------------------------------------

struct SignatureMethod {
    const char* href;
    gnutls_pk_algorithm_t pk;
    gnutls_digest_algorithm_t digest;
};

const SignatureMethod kSignatureMethods[] = {
    {"http://www.w3.org/2000/09/xmldsig#rsa-sha1", GNUTLS_PK_RSA, GNUTLS_DIG_SHA1},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", GNUTLS_PK_RSA, GNUTLS_DIG_SHA256},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha384", GNUTLS_PK_RSA, GNUTLS_DIG_SHA384},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha512", GNUTLS_PK_RSA, GNUTLS_DIG_SHA512},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha1", GNUTLS_PK_ECDSA, GNUTLS_DIG_SHA1},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256", GNUTLS_PK_ECDSA, GNUTLS_DIG_SHA256},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha384", GNUTLS_PK_ECDSA, GNUTLS_DIG_SHA384},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha512", GNUTLS_PK_ECDSA, GNUTLS_DIG_SHA512},
};

const SignatureMethod* findSignatureMethod(xmlNodePtr methodNode) {
    XmlCharPtr href(xmlGetProp(methodNode, BAD_CAST "Algorithm"));
    if (!href)
        return nullptr;
    for (const auto& m : kSignatureMethods)
        if (strcmp(m.href, reinterpret_cast<const char*>(href.get())) == 0)
            return &m;
    return nullptr;
}

// Left-pads an unsigned big-endian integer (leading zeros dropped) to size.
bool fixedWidth(const gnutls_datum_t& v, size_t size, std::string& out) {
    size_t skip = 0;
    while (skip < v.size && v.data[skip] == 0)
        ++skip;
    size_t n = v.size - skip;
    if (n > size)
        return false;
    out.append(size - n, '\0');
    out.append(reinterpret_cast<const char*>(v.data + skip), n);
    return true;
}

// The signature value as XMLDSig wants it: PKCS#1 v1.5 bytes for RSA, the
// plain r||s concatenation for ECDSA (GnuTLS gives DER).
long signCanonical(gnutls_privkey_t key, gnutls_x509_crt_t cert, const SignatureMethod& method,
                   const unsigned char* data, size_t length, std::string& outValue) {
    if (gnutls_privkey_get_pk_algorithm(key, nullptr) != method.pk)
        return kCmsXmlBadAlgorithm;
    // The curve size from the certificate: a token key may not report it.
    unsigned bits = 0;
    if (gnutls_x509_crt_get_pk_algorithm(cert, &bits) != method.pk || bits == 0)
        return kCmsXmlBadAlgorithm;
    gnutls_datum_t in{const_cast<unsigned char*>(data), static_cast<unsigned>(length)};
    gnutls_datum_t sig{nullptr, 0};
    if (gnutls_privkey_sign_data(key, method.digest, 0, &in, &sig) < 0)
        return kCmsXmlSignFailed;
    long result = kCmsXmlOk;
    if (method.pk == GNUTLS_PK_RSA) {
        outValue.assign(reinterpret_cast<const char*>(sig.data), sig.size);
    } else {
        gnutls_datum_t r{nullptr, 0};
        gnutls_datum_t s{nullptr, 0};
        if (gnutls_decode_rs_value(&sig, &r, &s) < 0) {
            result = kCmsXmlSignFailed;
        } else {
            size_t half = (bits + 7) / 8;
            std::string value;
            if (fixedWidth(r, half, value) && fixedWidth(s, half, value))
                outValue.swap(value);
            else
                result = kCmsXmlSignFailed;
            gnutls_free(r.data);
            gnutls_free(s.data);
        }
    }
    gnutls_free(sig.data);
    return result;
}

// Transforms a page's template may use in a reference. XSLT is left out on
// purpose: a style sheet could read any file the signer can.
void enableReferenceTransforms(xmlSecDSigCtxPtr ctx) {
    const xmlSecTransformId ids[] = {
        xmlSecTransformInclC14NId,   xmlSecTransformInclC14NWithCommentsId,
        xmlSecTransformInclC14N11Id, xmlSecTransformInclC14N11WithCommentsId,
        xmlSecTransformExclC14NId,   xmlSecTransformExclC14NWithCommentsId,
        xmlSecTransformEnvelopedId,  xmlSecTransformXPathId,
        xmlSecTransformXPath2Id,     xmlSecTransformXPointerId,
        xmlSecTransformBase64Id,     xmlSecTransformSha1Id,
        xmlSecTransformSha256Id,     xmlSecTransformSha384Id,
        xmlSecTransformSha512Id,
    };
    for (xmlSecTransformId id : ids)
        xmlSecDSigCtxEnableReferenceTransform(ctx, id);
}

std::string base64Lines(const std::string& bytes) {
    std::string b64 = cmsBase64Encode(bytes);
    std::string out;
    out.reserve(b64.size() + b64.size() / 64 + 2);
    out.push_back('\n');
    for (size_t i = 0; i < b64.size(); i += 64) {
        out.append(b64, i, 64);
        out.push_back('\n');
    }
    return out;
}

long certificateBase64(gnutls_x509_crt_t cert, std::string& out) {
    gnutls_datum_t der{nullptr, 0};
    if (gnutls_x509_crt_export2(cert, GNUTLS_X509_FMT_DER, &der) < 0)
        return kCmsXmlBadCertificate;
    out = base64Lines(std::string(reinterpret_cast<const char*>(der.data), der.size));
    gnutls_free(der.data);
    return kCmsXmlOk;
}

long fillKeyInfo(xmlNodePtr signature, xmlNodePtr signatureValue, gnutls_x509_crt_t cert) {
    std::string b64;
    long rc = certificateBase64(cert, b64);
    if (rc != kCmsXmlOk)
        return rc;
    xmlNodePtr keyInfo = childDsig(signature, xmlSecNodeKeyInfo);
    if (keyInfo == nullptr)
        keyInfo = xmlSecAddNextSibling(signatureValue, xmlSecNodeKeyInfo, xmlSecDSigNs);
    if (keyInfo == nullptr)
        return kCmsXmlBadTemplate;
    xmlNodePtr data = ensureDsigChild(keyInfo, xmlSecNodeX509Data);
    xmlNodePtr certNode = data ? ensureDsigChild(data, xmlSecNodeX509Certificate) : nullptr;
    if (certNode == nullptr)
        return kCmsXmlBadTemplate;
    xmlNodeSetContent(certNode, BAD_CAST b64.c_str());
    return kCmsXmlOk;
}

bool hasDigestValue(xmlNodePtr reference) {
    xmlNodePtr dv = childDsig(reference, xmlSecNodeDigestValue);
    if (dv == nullptr)
        return false;
    XmlCharPtr text(xmlNodeGetContent(dv));
    if (!text)
        return false;
    for (const xmlChar* p = text.get(); *p; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')
            return true;
    return false;
}

long serialise(xmlDocPtr doc, bool keepEncoding, std::string& out) {
    xmlChar* mem = nullptr;
    int size = 0;
    if (keepEncoding && doc->encoding != nullptr)
        xmlDocDumpMemoryEnc(doc, &mem, &size, reinterpret_cast<const char*>(doc->encoding));
    else
        xmlDocDumpMemoryEnc(doc, &mem, &size, "UTF-8");
    if (mem == nullptr || size < 0)
        return kCmsXmlBadXml;
    out.assign(reinterpret_cast<const char*>(mem), static_cast<size_t>(size));
    xmlFree(mem);
    return kCmsXmlOk;
}

long signLocked(gnutls_privkey_t key, gnutls_x509_crt_t cert, const XmlSignRequest& request,
                std::string& outDocument) {
    if (request.signId.empty())
        return kCmsXmlBadArgument;
    if ((request.flags & ~kXmlFlagsKnown) != 0)
        return kCmsXmlBadFlags;
    if (request.document.size() > kXmlMaxDocumentLength)
        return kCmsXmlTooLarge;
    if (request.document.size() > static_cast<size_t>(INT_MAX))
        return kCmsXmlTooLarge;
    if (request.mode != kXmlSignDigestsOnly && (key == nullptr || cert == nullptr))
        return kCmsXmlBadArgument;

    // No network, no external DTD, no entity substitution: a template is data.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    DocPtr doc(xmlReadMemory(request.document.data(), static_cast<int>(request.document.size()),
                             "template.xml", request.documentIsUtf8 ? "UTF-8" : nullptr, options));
    if (!doc || xmlDocGetRootElement(doc.get()) == nullptr)
        return kCmsXmlBadXml;
    registerIds(doc.get(), xmlDocGetRootElement(doc.get()));

    xmlNodePtr signature = findSignature(xmlDocGetRootElement(doc.get()), request.signId);
    if (signature == nullptr)
        return kCmsXmlNoSignature;
    xmlNodePtr signedInfo = firstElement(signature->children);
    if (!isDsig(signedInfo, xmlSecNodeSignedInfo))
        return kCmsXmlBadTemplate;
    xmlNodePtr c14nMethod = firstElement(signedInfo->children);
    if (!isDsig(c14nMethod, xmlSecNodeCanonicalizationMethod))
        return kCmsXmlBadTemplate;
    xmlNodePtr signatureMethod = nextElement(c14nMethod);
    if (!isDsig(signatureMethod, xmlSecNodeSignatureMethod))
        return kCmsXmlBadTemplate;
    xmlNodePtr signatureValue = nextElement(signedInfo);
    if (!isDsig(signatureValue, xmlSecNodeSignatureValue))
        return kCmsXmlBadTemplate;
    const SignatureMethod* method = findSignatureMethod(signatureMethod);
    if (method == nullptr)
        return kCmsXmlBadAlgorithm;
    if (request.mode != kXmlSignDigestsOnly &&
        gnutls_privkey_get_pk_algorithm(key, nullptr) != method->pk)
        return kCmsXmlBadAlgorithm;

    bool anyReference = false;
    for (xmlNodePtr r = nextElement(signatureMethod); r != nullptr; r = nextElement(r)) {
        if (!isDsig(r, xmlSecNodeReference))
            return kCmsXmlBadTemplate;
        anyReference = true;
    }
    if (!anyReference)
        return kCmsXmlBadTemplate;

    // KeyInfo first: a reference may cover it.
    if (cert != nullptr) {
        long rc = fillKeyInfo(signature, signatureValue, cert);
        if (rc != kCmsXmlOk)
            return rc;
    }

    DsigCtxPtr dsig(xmlSecDSigCtxCreate(nullptr));
    if (!dsig)
        return kCmsXmlDigestFailed;
    dsig->operation = xmlSecTransformOperationSign;
    dsig->enabledReferenceUris = static_cast<xmlSecTransformUriType>(
        xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument |
        // xmlsec counts a relative name as "remote"; the only reader left
        // is refOpen, which serves nothing but what the resolver allows.
        (request.resolver ? xmlSecTransformUriTypeLocal | xmlSecTransformUriTypeRemote : 0));
    enableReferenceTransforms(dsig.get());

    if (request.mode == kXmlSignGivenDigests) {
        for (xmlNodePtr r = nextElement(signatureMethod); r != nullptr; r = nextElement(r))
            if (!hasDigestValue(r))
                return kCmsXmlNoDigest;
    } else {
        gl.resolver = &request.resolver;
        for (xmlNodePtr r = nextElement(signatureMethod); r != nullptr; r = nextElement(r)) {
            if (!childDsig(r, xmlSecNodeDigestValue))
                return kCmsXmlBadTemplate;
            RefCtxPtr ref(
                xmlSecDSigReferenceCtxCreate(dsig.get(), xmlSecDSigReferenceOriginSignedInfo));
            if (!ref || xmlSecDSigReferenceCtxProcessNode(ref.get(), r) < 0) {
                gl.resolver = nullptr;
                return kCmsXmlDigestFailed;
            }
        }
        gl.resolver = nullptr;
    }

    if (request.mode != kXmlSignDigestsOnly) {
        TransformCtxPtr c14n(xmlSecTransformCtxCreate());
        if (!c14n)
            return kCmsXmlDigestFailed;
        if (xmlSecTransformCtxNodeRead(c14n.get(), c14nMethod, xmlSecTransformUsageC14NMethod) ==
            nullptr)
            return kCmsXmlBadAlgorithm;
        NodeSetPtr nodes(xmlSecNodeSetGetChildren(doc.get(), signedInfo, 1, 0));
        if (!nodes)
            return kCmsXmlDigestFailed;
        if (xmlSecTransformCtxXmlExecute(c14n.get(), nodes.get()) < 0 || c14n->result == nullptr)
            return kCmsXmlDigestFailed;
        std::string value;
        long rc = signCanonical(key, cert, *method, xmlSecBufferGetData(c14n->result),
                                xmlSecBufferGetSize(c14n->result), value);
        if (rc != kCmsXmlOk)
            return rc;
        xmlNodeSetContent(signatureValue, BAD_CAST base64Lines(value).c_str());
    }
    return serialise(doc.get(), request.keepEncoding, outDocument);
}

bool hasScheme(const std::string& uri) {
    // Any colon: a scheme ("file:", "http:") or nothing a plain relative
    // file name needs.
    return uri.find(':') != std::string::npos;
}

} // namespace

long xmlSign(gnutls_privkey_t key, gnutls_x509_crt_t cert, const XmlSignRequest& request,
             std::string& outDocument) {
    std::lock_guard<std::mutex> guard(gl.lock);
    if (!initialiseLocked())
        return kCmsXmlDigestFailed;
    // libxml2 keeps its error handlers per thread.
    xmlSetGenericErrorFunc(nullptr, silentXmlError);
    xmlSetStructuredErrorFunc(nullptr, silentStructuredError);
    std::string result;
    long rc = signLocked(key, cert, request, result);
    if (rc == kCmsXmlOk)
        outDocument.swap(result);
    return rc;
}

XmlReferenceResolver xmlFolderResolver(std::vector<std::string> dirs) {
    return [dirs = std::move(dirs)](const std::string& uri, std::string& outPath) {
        if (uri.empty() || uri[0] == '/' || hasScheme(uri) || uri.find('\\') != std::string::npos)
            return false;
        // No ".." component anywhere, whatever realpath would say.
        size_t pos = 0;
        while (pos <= uri.size()) {
            size_t slash = uri.find('/', pos);
            if (slash == std::string::npos)
                slash = uri.size();
            if (uri.compare(pos, slash - pos, "..") == 0)
                return false;
            pos = slash + 1;
        }
        for (const std::string& dir : dirs) {
            char dirReal[PATH_MAX];
            if (realpath(dir.c_str(), dirReal) == nullptr)
                continue;
            std::string candidate = std::string(dirReal) + "/" + uri;
            char fileReal[PATH_MAX];
            if (realpath(candidate.c_str(), fileReal) == nullptr)
                continue;
            std::string prefix = std::string(dirReal) + "/";
            if (strncmp(fileReal, prefix.c_str(), prefix.size()) != 0)
                continue;
            outPath = fileReal;
            return true;
        }
        return false;
    };
}
