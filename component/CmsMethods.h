#pragma once
// Component methods of the cms-xml part beyond the seam of ComponentMethods.h.
// Called with the token lock held, like those.

#include "component/Token.h"

#include <string>

// GPKI_GetAttributeCert: the attribute certificates of the selected token
// (PKCS#11 certificate objects of type CKC_X_509_ATTR_CERT, then data objects
// whose CKA_OBJECT_ID is the attribute type attributeCertificate, 2.5.4.58),
// each as Base64 of its DER followed by ";". reader empty: the selected token; otherwise it
// must name it (token label or slot description, blanks trimmed), else
// kTokenNoToken. A non-empty pin logs in first, so private ones show too.
// flags must be 0. kTokenNoCertificate when the token holds none.
[[nodiscard]] long componentGetAttributeCert(ComponentState& state, const std::string& reader,
                                             const std::string& pin, long flags, std::string& out);
