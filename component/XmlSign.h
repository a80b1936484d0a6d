#pragma once
// Enveloped XML signatures (XMLDSig) over a ds:Signature template: the
// references are digested through xmlsec1's transforms, SignedInfo is
// canonicalised by xmlsec1 and signed by a gnutls_privkey_t (the token's key,
// or a software key in tests), the certificate is written into KeyInfo.

#include "component/Cms.h"

#include <functional>
#include <string>
#include <vector>

// Flag bits of the XML methods' "iFlags": none are defined yet, every bit is
// refused so that a page learns at once that a flag does nothing.
constexpr long kXmlFlagsKnown = 0;

// Caps on a document.
constexpr size_t kXmlMaxDocumentLength = 64u * 1024u * 1024u;

// Maps the URI of an external reference (a relative name) to a file the
// signer may read; false refuses it. Called with the XML lock held.
using XmlReferenceResolver = std::function<bool(const std::string& uri, std::string& outPath)>;

// What xmlSign does with a template.
enum XmlSignMode {
    kXmlSignFull,        // digest the references, then sign SignedInfo
    kXmlSignDigestsOnly, // digest the references, no signature (first of two steps)
    kXmlSignGivenDigests // sign SignedInfo as it stands (second of two steps)
};

// Input and output of xmlSign.
struct XmlSignRequest {
    std::string document;       // the XML text or file contents
    bool documentIsUtf8 = true; // a page's text is UTF-8 whatever its declaration says
    bool keepEncoding = false;  // write the result in the document's own encoding (files)
    std::string signId;         // Id of the ds:Signature to fill
    long flags = 0;
    XmlSignMode mode = kXmlSignFull;
    XmlReferenceResolver resolver; // empty: external references are refused
};

// Fills the ds:Signature whose Id is request.signId. key and cert may be null
// for kXmlSignDigestsOnly; cert is written into KeyInfo when given. Returns
// kCmsXmlOk and the whole document in outDocument, or an error code with
// outDocument unchanged.
[[nodiscard]] long xmlSign(gnutls_privkey_t key, gnutls_x509_crt_t cert,
                           const XmlSignRequest& request, std::string& outDocument);

// A resolver that finds relative names in dirs, refusing absolute names,
// schemes, ".." and anything whose real path leaves its folder.
XmlReferenceResolver xmlFolderResolver(std::vector<std::string> dirs);
