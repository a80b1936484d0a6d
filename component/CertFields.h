#pragma once
// Fields of a certificate as the component's methods give them to pages.
// Every function takes the certificate's DER and the method's "iFlags", puts
// the text (or number) in out... and returns kTokenOk or an outcome of
// Token.h (kTokenBadCertificate, kTokenNoField, kTokenBadArgument).

#include <string>

// Profile arc of the component's own attribute and policy OIDs.
#define KESTROVA_PROFILE_ARC "2.25.188158944154708027246958907542712988009"
// Subject directory attribute holding the entity type (an OID value).
#define KESTROVA_ENTITY_TYPE_OID KESTROVA_PROFILE_ARC ".1"

// Serial number: flags 0 upper-case hex without separators ("0A1B2C"),
// flags 1 decimal.
[[nodiscard]] long certSerialNumber(const std::string& der, long flags, std::string& out);
// Distinguished names: flags 0 RFC 4514 text ("CN=...,O=...,C=TW"), flags 1
// the common name alone.
[[nodiscard]] long certIssuer(const std::string& der, long flags, std::string& out);
[[nodiscard]] long certSubject(const std::string& der, long flags, std::string& out);
// Public key: flags 0 Base64 of the SubjectPublicKeyInfo DER, flags 1 PEM.
[[nodiscard]] long certPublicKey(const std::string& der, long flags, std::string& out);
// Validity: flags 0 "YYYY-MM-DDTHH:MM:SSZ" (UTC), flags 1 seconds since 1970.
[[nodiscard]] long certNotBefore(const std::string& der, long flags, std::string& out);
[[nodiscard]] long certNotAfter(const std::string& der, long flags, std::string& out);
// Version as decimal text ("3").
[[nodiscard]] long certVersion(const std::string& der, long flags, std::string& out);
// 1 signing, 2 encryption (both bits when both), +4 for an authority.
[[nodiscard]] long certType(const std::string& der, long flags, long& out);
// Policy OIDs: flags 0 the first, flags 1 all, joined by ";".
[[nodiscard]] long certTypeOid(const std::string& der, long flags, std::string& out);
// Entity type OID: the subject directory attribute KESTROVA_ENTITY_TYPE_OID.
[[nodiscard]] long certEntityOid(const std::string& der, long flags, std::string& out);
// Organisation identifier (2.5.4.97), card holder rank (title, 2.5.4.12) and
// citizen ID (serialNumber, 2.5.4.5): the subject directory attribute first,
// then the subject's attribute. The citizen ID is given only by its tail:
// the last 4 characters (flags 1..16: that many).
[[nodiscard]] long certOrganizationId(const std::string& der, long flags, std::string& out);
[[nodiscard]] long certCardHolderRank(const std::string& der, long flags, std::string& out);
[[nodiscard]] long certTailOfCitizenId(const std::string& der, long flags, std::string& out);
// Subject directory attributes: with an OID, that attribute's values joined
// by ";"; with an empty OID every attribute as "OID=value", joined by ";".
[[nodiscard]] long certSubjectDirectoryAttrs(const std::string& der, const std::string& oid,
                                             long flags, std::string& out);
// Extensions as "OID,critical,Base64 of the value" (critical "1" or "0"),
// joined by ";"; flags 1 gives the OIDs alone.
[[nodiscard]] long certExtensions(const std::string& der, long flags, std::string& out);
// Signature algorithm: flags 0 its name ("RSA-SHA256", "ECDSA-SHA256"),
// flags 1 its OID.
[[nodiscard]] long certSignatureAlgorithm(const std::string& der, long flags, std::string& out);
