#include "service/Key.h"

#include <cstdlib>
#include <cstring>

#include "common/json/AES.h"
#include "common/runtime/Log.h"
#include "common/runtime/OSInfo.h"
#include "common/runtime/Tool.h"
#include "service/QXWhiteBoxUtilCore.h"
#include "tools/gencreds/CredentialData.h"

bool serverPairIsRSA(uint32_t osFlags) {
    return osFlags == 0 || (osFlags & kOsWindowsXP) != 0;
}

char* getServerCertificateFor(uint32_t osFlags) {
    const char* pem = serverPairIsRSA(osFlags) ? kStoredCertificateRSA : kStoredCertificateEC;
    char* copy = copyString(pem);
    if (copy == nullptr) {
        KESTROVA_ALLOC_FAIL();
    }
    return copy;
}

char* getServerCertificate() {
    return getServerCertificateFor(identifyOS());
}

// The white-box utility takes row pointers, as a table built at run time would
// be; the rows are copies so that the stored table is never handed out.
static char* whiteBoxKeyText() {
    const size_t rowBytes = sizeof kStoredWhiteBoxTable[0];
    int16_t* rows[kStoredWhiteBoxSize] = {};
    char* text = nullptr;
    bool built = true;
    for (int row = 0; row < kStoredWhiteBoxSize && built; ++row) {
        rows[row] = static_cast<int16_t*>(malloc(rowBytes));
        if (rows[row] == nullptr) {
            built = false;
        } else {
            memcpy(rows[row], kStoredWhiteBoxTable[row], rowBytes);
        }
    }
    if (built) {
        text = getQXWhiteboxResult(rows, kStoredWhiteBoxSize, kStoredWhiteBoxSeed);
    }
    for (int16_t* row : rows) {
        secureWipe(row, row ? rowBytes : 0);
        free(row);
    }
    return text;
}

char* getServerPrivateKeyFor(uint32_t osFlags) {
    char* plain = nullptr;
    char* hexText = whiteBoxKeyText();
    char* hexOwner = hexText; // QXWhiteBoxResultFinal nulls hexText, not this
    if (hexText == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }

    size_t keyLength = 0;
    unsigned char* key = hexToBytes(hexText, &keyLength);
    if (key == nullptr || keyLength != KESTROVA_AES_KEY_LENGTH) {
        // A short key would make the cipher read past the buffer.
        KESTROVA_ALLOC_FAIL();
    } else {
        const bool rsa = serverPairIsRSA(osFlags);
        plain =
            aesDecryptValue(rsa ? kStoredKeyRSA : kStoredKeyEC,
                            rsa ? kStoredKeyRSALength : kStoredKeyECLength, key, kStoredKeyVector);
        if (plain == nullptr) {
            KESTROVA_ALLOC_FAIL();
        }
    }
    if (key != nullptr) {
        secureWipe(key, keyLength);
        free(key);
    }
    QXWhiteBoxResultFinal(&hexText);
    free(hexOwner);
    return plain;
}

char* getServerPrivateKey() {
    return getServerPrivateKeyFor(identifyOS());
}
