// The CMS and XML methods of the component. Until their implementations are
// wired in here, each answers "not supported".

#include "component/ComponentMethods.h"

long componentSignData(ComponentState&, const std::string&, const std::string&, const std::string&,
                       long, long, std::string&) {
    return kTokenNotSupported;
}

long componentSignDataUpdate(ComponentState&, const std::string&, const std::string&, long, long,
                             std::string&) {
    return kTokenNotSupported;
}

long componentSignStep(ComponentState&, SignStep, const std::string&, long, long&) {
    return kTokenNotSupported;
}

long componentSignatureAlgorithm(ComponentState&, const std::string&, long, long, std::string&) {
    return kTokenNotSupported;
}

long componentEncryptByCert(ComponentState&, const std::string&, const std::string&, long,
                            std::string&) {
    return kTokenNotSupported;
}

long componentDecrypt(ComponentState&, const std::string&, const std::string&, long, long,
                      std::string&) {
    return kTokenNotSupported;
}

long componentDecrypt2File(ComponentState&, const std::string&, const std::string&, long, long) {
    return kTokenNotSupported;
}

long componentXml(ComponentState&, XmlMethod, const std::string&, const std::string&,
                  const std::string&, const std::string&, long, std::string&) {
    return kTokenNotSupported;
}
